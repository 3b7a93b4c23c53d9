// SPDX-License-Identifier: GPL-2.0-or-later
#include "edl_segments.h"

#include <libxml/parser.h>
#include <libxml/xmlmemory.h>

#include <cstdio>

#include "log.h"

namespace {

bool is_segment(xmlNode *node) {
    if (node->type != XML_ELEMENT_NODE ||
        xmlStrcmp(node->name, reinterpret_cast<const xmlChar *>("program")) != 0)
        return false;
    xmlChar *filename = xmlGetProp(node, reinterpret_cast<const xmlChar *>("filename"));
    bool counted = filename != nullptr && filename[0] != '\0';
    xmlFree(filename);
    return counted;
}

}  // namespace

void qdl_count_segments(xmlNode *node, int *count) {
    // Siblings in a loop, children by recursion: the parser's own nesting limit bounds
    // the depth. Only elements are descended into: the child of an entity reference is
    // the entity's declaration, whose siblings are the DTD's other declarations, so
    // following it would come back round to the reference (for ever, with an entity
    // that names an earlier one).
    for (; node != nullptr; node = node->next) {
        if (is_segment(node))
            ++*count;
        if (node->type == XML_ELEMENT_NODE)
            qdl_count_segments(node->children, count);
    }
}

int qdl_find_segments(const char *path, int *count) {
    xmlDoc *doc = xmlParseFile(path);
    if (doc == nullptr) {
        std::fputs("Document not parsed successfully. \n", stderr);
        QLOG_ERR("find segment from xml error");
        return -1;
    }
    xmlNode *root = xmlDocGetRootElement(doc);
    if (root == nullptr) {
        std::fputs("empty document\n", stderr);
        xmlFreeDoc(doc);
        QLOG_ERR("find segment from xml error");
        return -1;
    }
    *count = 0;
    qdl_count_segments(root, count);
    xmlFreeDoc(doc);
    // Process-wide, and not safe while another thread uses libxml2: only the EDL flash
    // parses XML in this daemon, and only one EDL flash runs at a time.
    xmlCleanupParser();
    QLOG_DEBUG("segment count: %d", *count);
    return 0;
}
