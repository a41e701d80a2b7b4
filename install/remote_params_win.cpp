// PLACEHOLDER until remote parameters land.
#include "install/remote_params.h"

void FetchRemoteParameters(const char*) {}
