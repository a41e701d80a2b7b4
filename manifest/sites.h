// The site table lives with the configuration, which fills it from the web:
// keyword before the manifest adds its SITES; kept here for the mirror names.
#pragma once

#include "config/sites.h"
