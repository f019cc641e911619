// The node table of the Linux backend's device tree: sysfs device folders and their DEVINST
// numbers.
#include "platform/linux/device_tree.h"
#include "platform/linux/objects.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

namespace {

pthread_mutex_t g_nodesLock = PTHREAD_MUTEX_INITIALIZER;
LxNode g_nodes[LX_MAX_NODES];
int g_nodeCount = 0;

} // namespace

DEVINST LxNodeOf(const char* path, const char* diskParent) {
    pthread_mutex_lock(&g_nodesLock);
    DEVINST inst = 0;
    for (int i = 0; i < g_nodeCount && inst == 0; ++i) {
        if (strcmp(g_nodes[i].path, path) == 0) {
            inst = (DEVINST)(i + 1);
        }
    }
    if (inst == 0 && g_nodeCount < LX_MAX_NODES) {
        LxNode& n = g_nodes[g_nodeCount];
        snprintf(n.path, sizeof(n.path), "%s", path);
        snprintf(n.diskParent, sizeof(n.diskParent), "%s", diskParent != NULL ? diskParent : "");
        inst = (DEVINST)(++g_nodeCount);
    }
    pthread_mutex_unlock(&g_nodesLock);
    return inst;
}

bool LxNodeRecord(DEVINST inst, LxNode* out) {
    pthread_mutex_lock(&g_nodesLock);
    bool found = inst >= 1 && (int)inst <= g_nodeCount;
    if (found) {
        *out = g_nodes[inst - 1];
    }
    pthread_mutex_unlock(&g_nodesLock);
    return found;
}

bool LxNodePresent(const LxNode& node) {
    struct stat st;
    return stat(node.path, &st) == 0;
}

DEVINST LxParentInst(const LxNode& node) {
    if (node.diskParent[0] != 0) {
        return LxNodeOf(node.diskParent, NULL);
    }
    char parent[LX_PATH_CHARS];
    if (LxParentNode(LxSysRoot(), node.path, parent, sizeof(parent)) < 0) {
        return 0;
    }
    return LxNodeOf(parent, NULL);
}

void LxForgetNodes() {
    pthread_mutex_lock(&g_nodesLock);
    g_nodeCount = 0;
    pthread_mutex_unlock(&g_nodesLock);
}
