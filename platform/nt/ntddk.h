// Everything a kernel-mode driver of this machine includes.
#pragma once

#include "exceptions.h"
#include "fileinfo.h"
#include "fsrtl.h"
#include "io.h"
#include "ntbase.h"
#include "pool.h"
#include "resource.h"
#include "rtl.h"
#include "workqueue.h"
#include "zw.h"
