#include "brimvale/platform/Logger.h"

// Until the service manager exists the program only reports that it started.
int main() {
  corvane::Logger::app().notice("Corvane started");
  return 0;
}
