// Remote parameters of a hosted installation: "PARAMS.CFG" and the shortcut name.
#pragma once

void FetchRemoteParameters(const char* code);
