// libntfs-3g's headers, included once with what they expect from its own build: they are
// C, rely on a configure step that defines HAVE_*, and use standard types without
// including their headers.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdarg>
#include <cstddef>
#include <ctime>

#ifndef HAVE_STDINT_H
#define HAVE_STDINT_H 1
#endif
#ifndef HAVE_SYS_TYPES_H
#define HAVE_SYS_TYPES_H 1
#endif
#ifndef HAVE_TIME_H
#define HAVE_TIME_H 1
#endif
#ifndef HAVE_SYS_STAT_H
#define HAVE_SYS_STAT_H 1
#endif

// types.h must come first: the others use its types.
// clang-format off
extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/device.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/layout.h>
#include <ntfs-3g/logging.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/volume.h>
}
// clang-format on

// Its min and max macros would replace std::min and std::max.
#undef min
#undef max
