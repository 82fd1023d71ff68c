#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

namespace velmorsim {

// One misbehaviour of the device for one request. Except for deviceError and
// partialWrite, the device still carries the command out; only the reply
// that reaches the host is changed.
class Fault {
public:
    using ReplyEdit = std::function<void(std::vector<uint8_t>&)>;

    // The device behaves normally.
    static Fault none();
    // Reply with just this return code; the command is refused, not carried out.
    static Fault deviceError(uint32_t returnCode);
    // The real reply with its return code's low byte set to `code` (1..255).
    static Fault lowByteReturnCode(uint8_t code);
    // The first `length` bytes of the real reply.
    static Fault shortReply(std::size_t length);
    // A zero-length packet.
    static Fault emptyReply();
    // `length` pseudo-random bytes, the same on every run.
    static Fault garbage(std::size_t length);
    // Nothing is queued: the host's read times out.
    static Fault noReply();
    // The real reply, sent `delay` after the request; replies to later
    // requests queue behind it, as in the device's IN FIFO.
    static Fault lateReply(std::chrono::milliseconds delay);
    static Fault fixedReply(std::vector<uint8_t> reply);
    // The callback edits the real reply. It runs under the model's lock and
    // must not call back into the model.
    static Fault editReply(ReplyEdit edit);
    // The device takes only `acceptedBytes` of the request and drops it.
    static Fault partialWrite(std::size_t acceptedBytes);

    // Spectrum record corruptions, for replies to the spectrum read.
    static Fault spectrumPixelCount(uint16_t pixelCount);
    static Fault spectrumVersionNumber(uint8_t version);
    static Fault spectrumDataFormat(uint8_t format);
    static Fault truncatedSpectrum(std::size_t missingBytes);

    bool carriesOutCommand() const { return mCarriesOutCommand; }
    std::optional<std::size_t> acceptedRequestBytes() const { return mAcceptedRequestBytes; }
    std::chrono::milliseconds replyDelay() const { return mReplyDelay; }
    // std::nullopt: the device sends nothing.
    std::optional<std::vector<uint8_t>> shapeReply(std::vector<uint8_t> realReply) const;

private:
    using Shaper = std::function<std::optional<std::vector<uint8_t>>(std::vector<uint8_t>)>;

    Fault(bool carriesOutCommand, std::optional<std::size_t> acceptedRequestBytes, Shaper shaper);
    static Fault replacedBy(std::vector<uint8_t> reply, bool carriesOutCommand);
    static Fault editedHeaderField(std::size_t offset, uint64_t value, int width);

    bool mCarriesOutCommand;
    std::optional<std::size_t> mAcceptedRequestBytes;
    Shaper mShaper;
    std::chrono::milliseconds mReplyDelay{0};
};

constexpr std::size_t kForever = std::numeric_limits<std::size_t>::max();

// The faults waiting to strike, each bound to one command code or to any
// request, and each good for a number of requests.
class FaultPlan {
public:
    void add(std::optional<uint32_t> command, Fault fault, std::size_t times);
    void clear() { mRules.clear(); }
    // The first rule that matches this request, used up by one.
    // `command` is std::nullopt for a request too short to carry a code.
    std::optional<Fault> take(std::optional<uint32_t> command);

private:
    struct Rule {
        std::optional<uint32_t> command;  // std::nullopt: any request
        Fault fault;
        std::size_t remaining;
    };

    std::vector<Rule> mRules;
};

} // namespace velmorsim
