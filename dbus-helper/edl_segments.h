// SPDX-License-Identifier: GPL-2.0-or-later
// The images of an EDL flash, counted from the package's rawprogram XML file.
#pragma once

#include <libxml/tree.h>

// Adds to *count the "program" elements with a non-empty "filename" attribute among
// node, its following siblings and all their element descendants (the content of an
// entity reference is not counted).
void qdl_count_segments(xmlNode *node, int *count);

// Parses the partition program file and counts its segments from the root element
// (whose own name plays no part). 0 and *count set, or -1 (reported on standard error
// and in the log) when the file cannot be parsed or has no root element.
int qdl_find_segments(const char *path, int *count);
