#include "FuzzInput.h"
#include "brimvale/foundation/DisplayText.h"
#include "brimvale/integrations/Explainer.h"
#include "brimvale/platform/Unicode.h"

#include <string>
#include <variant>

// The local model server's replies. The first byte picks which reply and its status. An
// answer is valid UTF-8 within its character limit with nothing invisible in it but line
// feeds; an error is a sentence of bounded length.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace corvane;
  if (size == 0)
    return 0;
  const std::string_view reply = fuzz::text(data + 1, size - 1);
  if (data[0] & 0x80) {
    const auto model = Explainer::firstModelIn(reply);
    FUZZ_CHECK(!model || !model->empty());
    return 0;
  }
  const long status = (data[0] & 1) ? 200 : 100 + data[0] * 4;
  const auto result = Explainer::readAnswer(status, reply);
  if (!result) {
    const auto *error = std::get_if<Explainer::ModelError>(&result.error());
    FUZZ_CHECK(error && !error->description.empty());
    FUZZ_CHECK(validUTF8(error->description) == error->description);
    FUZZ_CHECK(characterCount(error->description) <= 260);
    return 0;
  }
  FUZZ_CHECK(status == 200);
  const std::string &answer = *result;
  FUZZ_CHECK(validUTF8(answer) == answer);
  FUZZ_CHECK(characterCount(answer) <= Explainer::maxAnswerCharacters);
  for (char32_t scalar : unicodeScalars(answer))
    FUZZ_CHECK(scalar == U'\n' || !isRemovedByDisplayTextCleaner(scalar));
  // Cleaning what is already clean changes nothing.
  FUZZ_CHECK(Explainer::cleanAnswer(answer) == answer ||
             Explainer::cleanAnswer(answer) == trimmingWhitespaceAndNewlines(answer));
  return 0;
}
