#pragma once

// The link-safe file layer in one include: links and real folders,
// all-or-nothing renames and flushes, our own regular files, and moves and
// copies that retry while a file is busy.
#include "fs/durablefile.h"
#include "fs/filemove.h"
#include "fs/links.h"
#include "fs/regularfile.h"
