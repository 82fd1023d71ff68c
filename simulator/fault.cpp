#include "simulator/fault.h"

#include <algorithm>
#include <random>
#include <utility>

#include "simulator/littleendian.h"
#include "simulator/spectrumrecord.h"

namespace velmorsim {

Fault::Fault(bool carriesOutCommand, std::optional<std::size_t> acceptedRequestBytes, Shaper shaper)
    : mCarriesOutCommand(carriesOutCommand), mAcceptedRequestBytes(acceptedRequestBytes), mShaper(std::move(shaper))
{
}

Fault Fault::replacedBy(std::vector<uint8_t> reply, bool carriesOutCommand)
{
    return Fault(carriesOutCommand, std::nullopt, [reply = std::move(reply)](const std::vector<uint8_t>&) {
        return std::optional<std::vector<uint8_t>>(reply);
    });
}

Fault Fault::none()
{
    return Fault(true, std::nullopt,
                 [](std::vector<uint8_t> reply) { return std::optional<std::vector<uint8_t>>(std::move(reply)); });
}

Fault Fault::deviceError(uint32_t returnCode) { return replacedBy(LittleEndianWriter().u32(returnCode).take(), false); }

Fault Fault::lowByteReturnCode(uint8_t code)
{
    return editReply([code](std::vector<uint8_t>& reply) {
        if (!reply.empty()) {
            reply[0] = code;
        }
    });
}

Fault Fault::shortReply(std::size_t length)
{
    return editReply([length](std::vector<uint8_t>& reply) { reply.resize(std::min(length, reply.size())); });
}

Fault Fault::emptyReply() { return replacedBy({}, true); }

Fault Fault::garbage(std::size_t length)
{
    std::mt19937 generator(static_cast<uint32_t>(length));
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<uint8_t> bytes(length);
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<uint8_t>(byte(generator)); });
    return replacedBy(std::move(bytes), true);
}

Fault Fault::noReply()
{
    return Fault(true, std::nullopt,
                 [](const std::vector<uint8_t>&) { return std::optional<std::vector<uint8_t>>(); });
}

Fault Fault::lateReply(std::chrono::milliseconds delay)
{
    Fault fault = none();
    fault.mReplyDelay = delay;
    return fault;
}

Fault Fault::fixedReply(std::vector<uint8_t> reply) { return replacedBy(std::move(reply), true); }

Fault Fault::editReply(ReplyEdit edit)
{
    return Fault(true, std::nullopt, [edit = std::move(edit)](std::vector<uint8_t> reply) {
        edit(reply);
        return std::optional<std::vector<uint8_t>>(std::move(reply));
    });
}

Fault Fault::partialWrite(std::size_t acceptedBytes)
{
    return Fault(false, acceptedBytes,
                 [](const std::vector<uint8_t>&) { return std::optional<std::vector<uint8_t>>(); });
}

// A reply too short to hold the field (the "no spectrum" error) passes unchanged.
Fault Fault::editedHeaderField(std::size_t offset, uint64_t value, int width)
{
    return editReply([=](std::vector<uint8_t>& reply) {
        if (reply.size() >= offset + static_cast<std::size_t>(width)) {
            writeLittleEndian(reply, offset, value, width);
        }
    });
}

Fault Fault::spectrumPixelCount(uint16_t pixelCount)
{
    return editedHeaderField(spectrumrecord::kPixelCountOffset, pixelCount, 2);
}

Fault Fault::spectrumVersionNumber(uint8_t version)
{
    return editedHeaderField(spectrumrecord::kVersionNumberOffset, version, 1);
}

Fault Fault::spectrumDataFormat(uint8_t format)
{
    return editedHeaderField(spectrumrecord::kDataFormatOffset, format, 1);
}

Fault Fault::truncatedSpectrum(std::size_t missingBytes)
{
    return editReply([missingBytes](std::vector<uint8_t>& reply) {
        reply.resize(reply.size() - std::min(missingBytes, reply.size()));
    });
}

std::optional<std::vector<uint8_t>> Fault::shapeReply(std::vector<uint8_t> realReply) const
{
    return mShaper(std::move(realReply));
}

void FaultPlan::add(std::optional<uint32_t> command, Fault fault, std::size_t times)
{
    if (times > 0) {
        mRules.push_back({command, std::move(fault), times});
    }
}

std::optional<Fault> FaultPlan::take(std::optional<uint32_t> command)
{
    const auto matches = [&](const Rule& rule) { return !rule.command || rule.command == command; };
    const auto rule = std::find_if(mRules.begin(), mRules.end(), matches);
    if (rule == mRules.end()) {
        return std::nullopt;
    }
    Fault fault = rule->fault;
    if (rule->remaining != kForever && --rule->remaining == 0) {
        mRules.erase(rule);
    }
    return fault;
}

} // namespace velmorsim
