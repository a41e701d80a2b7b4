// PLACEHOLDER until the mirror workers land.
#include "transfer/mirror.h"

void StartMirrorWorkers() {}
