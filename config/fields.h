// Setting InstallSettings text fields from outside text, within capacity.
#pragma once

#include <stddef.h>

// Paths, hosts and codes are refused whole, since a cut one would name
// something else: false, with the field unchanged and the refusal logged.
// what names the field in the log.
bool SetTextField(char* field, size_t capacity, const char* value, const char* what);
// The display name is only shown, so a long one is cut to fit (and logged).
void SetDisplayName(const char* value);
