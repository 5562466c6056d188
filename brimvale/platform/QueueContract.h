#pragma once

namespace corvane {

class MainQueue;
class SerialQueue;

// Where a header says which queue its callers must be on, its entry points say so through
// these. In checked builds (CORVANE_CHECK_QUEUES, which the sanitizer build sets) a caller on
// any other thread stops the program with the contract's text, so that a test fails where it
// would otherwise race; in other builds nothing is checked.
bool queueContractsChecked();
void expectOnQueue(const SerialQueue &queue, const char *contract);
void expectOnQueue(const MainQueue &queue, const char *contract);

} // namespace corvane
