#pragma once

#include "brimvale/catalogue/Problems.h"
#include "brimvale/platform/MainQueue.h"
#include "brimvale/platform/SerialQueue.h"

#include <cstddef>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace corvane {

// The language model that explains problems: a model server on this machine's loopback that
// the user runs, speaking the Ollama HTTP API; its first installed model answers.
struct ExplainerServer {
  std::string endpoint = "http://127.0.0.1:11434";
  // For the list of installed models: a server that does not answer soon is not there.
  double availabilityTimeoutSeconds = 5;
  // For the whole answer; a model on a small machine takes its time.
  double answerTimeoutSeconds = 300;
  std::size_t maxReplyBytes = 1 << 20;
};

// Turns one problem report into a few plain sentences written by the local model. Keeps no
// state: every call asks afresh.
class Explainer {
public:
  using Server = ExplainerServer;

  enum class Failure { unavailable };
  // An error the model server reported, passed on as it described it (cleaned for display).
  struct ModelError {
    std::string description;
    bool operator==(const ModelError &) const = default;
  };
  using Error = std::variant<Failure, ModelError>;
  using Result = std::expected<std::string, Error>;

  static const std::string instructions;
  static constexpr std::size_t maxAnswerCharacters = 1200;

  static std::string errorDescription(Failure failure);
  static std::string errorDescription(const Error &error);

  // The lines the model is asked about; names cannot close the quotes around them.
  static std::string prompt(const ProblemReport &report);
  // Drops invisible and layout-breaking scalars (line feeds stay), trims, and keeps the first
  // 1200 user-perceived characters.
  static std::string cleanAnswer(std::string_view answer);

  // The first installed model named in the server's list of models; absent when it names none.
  static std::optional<std::string> firstModelIn(std::string_view listReply);
  // The explanation in the model's reply (HTTP status and body), or the error it reported.
  static Result readAnswer(long status, std::string_view reply);

  // Blocks until the model has answered: call it on a worker queue, never the main queue.
  // No model server answering, or none with a model installed, is `unavailable`, and then
  // nothing is asked.
  static Result explainNow(const ProblemReport &report, const Server &server);

  // Whether a model server answers with an installed model. Blocks: a worker queue only.
  static bool isAvailable(const Server &server);

  // Asks on `worker` and calls `completion` once on `main`; both must outlive the call.
  static void explain(const ProblemReport &report, SerialQueue &worker, MainQueue &main,
                      std::function<void(Result)> completion, Server server = {});
};

} // namespace corvane
