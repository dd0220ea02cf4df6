/* The one place that chooses the platform: the real Windows SDK headers for
 * the Windows build, the simulated machine's for the host build. */
#pragma once

#ifdef _WIN32
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>
#include <cfgmgr32.h>
#include <regstr.h>
#include <initguid.h>
#include <devguid.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#else
#include "winsim/windows.h"
#include <stdio.h>
#include <stdlib.h>
#endif
#include <stdarg.h>
