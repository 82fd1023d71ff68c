#include "cmanager.h"

#include "cstatuserror.h"
#include "velmor/velmor_c.h"

CManager& CManager::fromHandle(velmor_manager* handle)
{
    if (handle == nullptr) {
        throw CStatusError(VELMOR_ERROR_INVALID_ARGUMENT, "manager is NULL");
    }
    return *reinterpret_cast<CManager*>(handle);
}

void CManager::start(std::unique_ptr<CCallbackAdapter> adapter, const StartRun& startRun)
{
    SpectrometerCallback* callback = adapter.get();
    startKeeping(std::move(adapter), [&](VaskLinkProtocol& protocol) { startRun(protocol, callback); });
}

void CManager::start(std::unique_ptr<CStreamCallbackAdapter> adapter, const StartStream& startStream)
{
    StreamCallback* callback = adapter.get();
    startKeeping(std::move(adapter), [&](VaskLinkProtocol& protocol) { startStream(protocol, callback); });
}

void CManager::startKeeping(std::shared_ptr<void> adapter, const std::function<void(VaskLinkProtocol&)>& startRun)
{
    exclusive([&](VaskLinkProtocol& protocol) {
        mAdapters.push_back(std::move(adapter));
        startRun(protocol);
        // A start first stops and joins the previous run, so only the new
        // run's adapter can still be called. After a failed start the new
        // adapter may have workers, so all stay until the next stop.
        mAdapters.erase(mAdapters.begin(), mAdapters.end() - 1);
        mMeasurementStarted.store(true);
    });
}

void CManager::stop()
{
    exclusive([&](VaskLinkProtocol& protocol) {
        protocol.stopMeasurement();
        forgetRuns();
    });
}

void CManager::disconnect()
{
    exclusive([&](VaskLinkProtocol& protocol) {
        protocol.disconnectDevice();
        forgetRuns();
    });
}

void CManager::refuseInsideCallback() const
{
    if (CCallbackScope::active()) {
        throw CStatusError(VELMOR_ERROR_IN_CALLBACK, "not allowed from inside a callback");
    }
}

void CManager::refuseWhileMeasuring() const
{
    if (mMeasurementStarted.load()) {
        throw CStatusError(VELMOR_ERROR_WRONG_STATE,
                           "a measurement is started; call velmor_stop_measurement first");
    }
}

// Every worker has been joined.
void CManager::forgetRuns()
{
    mAdapters.clear();
    mMeasurementStarted.store(false);
}
