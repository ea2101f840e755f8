// Information lines of the packet store: "[INFO] file:line: ", the text, "\n",
// on stdout.
#pragma once

#include "platform/log.h"

#define DS_INFO(...) ::dirov::log_tagged(::dirov::kLogInfo, stdout, __FILE__, __LINE__, __VA_ARGS__)
