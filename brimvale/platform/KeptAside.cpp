#include "brimvale/platform/KeptAside.h"

#include "brimvale/platform/PrivateFiles.h"

namespace corvane {

std::string keptAsideText(std::string_view what, std::string_view key, const KeptAside &kept) {
  const std::string copy = storage::damagedCopyName(key, 0);
  if (kept)
    return "the stored " + std::string(what) + " is kept as " + copy;
  return "the stored " + std::string(what) + " could not be kept aside yet (" + kept.error() +
         ") and will be before it is written over";
}

} // namespace corvane
