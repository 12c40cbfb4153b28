// How the stages run: the fast forms (the default) or the plain reference forms, and on how
// many threads. The results are the same bits either way; only time and memory differ.
// Set before a run, not during one.
#pragma once
#include <cstdint>

namespace brevant {

// True: every stage and the driver take their plain, one-thread form.
void UsePlainForms(bool plain);
bool PlainFormsInUse();

// Threads of the fast forms; 0 (the default) means one per processor core.
void SetWorkerThreads(int32_t count);
// The number in effect: at least 1.
int32_t WorkerThreads();

}  // namespace brevant
