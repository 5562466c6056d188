#include "brimvale/platform/QueueContract.h"

#include "brimvale/platform/Logger.h"
#include "brimvale/platform/MainQueue.h"
#include "brimvale/platform/SerialQueue.h"

#include <cstdlib>
#include <string>

namespace corvane {

namespace {

[[noreturn]] void contractBroken(const char *contract, const std::string &queue) {
  Logger::app().fault(std::string("Queue contract broken: ") + contract + " (called off " + queue +
                      ")");
  std::abort();
}

} // namespace

bool queueContractsChecked() {
#if defined(CORVANE_CHECK_QUEUES)
  return true;
#else
  return false;
#endif
}

void expectOnQueue(const SerialQueue &queue, const char *contract) {
  if (queueContractsChecked() && !queue.isCurrent())
    contractBroken(contract, queue.label());
}

void expectOnQueue(const MainQueue &queue, const char *contract) {
  if (queueContractsChecked() && !queue.isCurrent())
    contractBroken(contract, "the main queue");
}

} // namespace corvane
