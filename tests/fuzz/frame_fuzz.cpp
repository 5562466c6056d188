#include "FuzzInput.h"
#include "brimvale/foundation/Frame.h"

// A frame body as a paired Mac sends it: whatever decodes must encode and decode to the same
// frame, and the length prefix must announce the body that follows it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace corvane;
  const auto frame = decodeFrame(fuzz::bytes(data, size));
  if (size == corvane::frameHeaderLength) {
    const auto length = parseFrameLength(fuzz::bytes(data, size));
    FUZZ_CHECK(!length || (*length >= 1 && *length <= maxFrameLength));
  }
  if (!frame)
    return 0;
  // Re-encoding drops white space, unknown members and needless escapes, so a frame that
  // arrived within the limit can always be sent on.
  const auto encoded = encodeFrame(*frame);
  FUZZ_CHECK(encoded || size > maxFrameLength);
  if (!encoded)
    return 0;
  const Bytes header(encoded->begin(), encoded->begin() + frameHeaderLength);
  const auto length = parseFrameLength(header);
  FUZZ_CHECK(length && *length == encoded->size() - frameHeaderLength);
  const auto again = decodeFrame(Bytes(encoded->begin() + frameHeaderLength, encoded->end()));
  FUZZ_CHECK(again && *again == *frame);
  return 0;
}
