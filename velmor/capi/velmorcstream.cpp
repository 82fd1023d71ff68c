// The C interface's stream measurement (velmor_c.h, "Stream measurement").

#include "velmor/velmor_c.h"

#include "cargumentcheck.h"
#include "cboundary.h"
#include "cmanager.h"
#include "cstatuserror.h"
#include "cstreamcallbackadapter.h"

#include <memory>

int32_t VELMOR_CALL velmor_start_stream(velmor_manager* manager, velmor_stream_callback on_spectrum,
                                        velmor_error_callback on_error, velmor_stream_end_callback on_end,
                                        void* user, int32_t exposure_us, int32_t averaging, int32_t delay_us,
                                        uint64_t count)
{
    return CBoundary::run(__func__, [&] {
        CManager& owner = CManager::fromHandle(manager);
        if (on_spectrum == nullptr) {
            throw CStatusError(VELMOR_ERROR_INVALID_ARGUMENT, "on_spectrum is NULL");
        }
        CArgumentCheck::atLeast("exposure_us", exposure_us, 1);
        CArgumentCheck::atLeast("averaging", averaging, 1);
        CArgumentCheck::atLeast("delay_us", delay_us, 0);
        StreamSettings settings;
        settings.exposureTimeUs = exposure_us;
        settings.averaging = averaging;
        settings.delayUs = delay_us;
        settings.count = count;
        owner.start(std::make_unique<CStreamCallbackAdapter>(&owner, on_spectrum, on_error, on_end, user),
                    [&](VaskLinkProtocol& protocol, StreamCallback* callback) {
                        protocol.startStreamMeasurement(callback, settings);
                    });
    });
}
