// The configuration manager on the Linux backend: parents and instance ids of the device
// tree's nodes.
#include "platform/linux/device_tree.h"

#include <string.h>

namespace {

// The instance id of a present node; false otherwise.
bool InstanceId(DEVINST inst, char* out, size_t capacity, CONFIGRET* error) {
    LxNode node;
    if (!LxNodeRecord(inst, &node)) {
        *error = CR_INVALID_DEVNODE;
        return false;
    }
    if (!LxNodePresent(node) ||
        LxNodeInstanceId(node.path, node.diskParent[0] != 0, out, capacity) != 1) {
        *error = CR_NO_SUCH_DEVNODE;
        return false;
    }
    return true;
}

} // namespace

CONFIGRET LxGetParent(PDEVINST parent, DEVINST inst, ULONG flags) {
    if (parent == NULL) {
        return CR_INVALID_POINTER;
    }
    *parent = 0;
    if (flags != 0) {
        return CR_INVALID_FLAG;
    }
    LxNode node;
    if (!LxNodeRecord(inst, &node)) {
        return CR_INVALID_DEVNODE;
    }
    DEVINST up = LxNodePresent(node) ? LxParentInst(node) : 0;
    if (up == 0) {
        return CR_NO_SUCH_DEVNODE;
    }
    *parent = up;
    return CR_SUCCESS;
}

CONFIGRET LxGetDeviceId(DEVINST inst, PWSTR buffer, ULONG length, ULONG flags) {
    if (buffer == NULL) {
        return CR_INVALID_POINTER;
    }
    if (flags != 0) {
        return CR_INVALID_FLAG;
    }
    char id[LX_PATH_CHARS];
    CONFIGRET error = CR_SUCCESS;
    if (!InstanceId(inst, id, sizeof(id), &error)) {
        return error;
    }
    const size_t n = strlen(id);
    if (length < n) {
        return CR_BUFFER_SMALL;
    }
    for (size_t i = 0; i < n; ++i) {
        buffer[i] = (WCHAR)(unsigned char)id[i];
    }
    if (length > n) {
        buffer[n] = 0;
    }
    return CR_SUCCESS;
}

CONFIGRET LxGetDeviceIdSize(PULONG length, DEVINST inst, ULONG flags) {
    if (length == NULL) {
        return CR_INVALID_POINTER;
    }
    *length = 0;
    if (flags != 0) {
        return CR_INVALID_FLAG;
    }
    char id[LX_PATH_CHARS];
    CONFIGRET error = CR_SUCCESS;
    if (!InstanceId(inst, id, sizeof(id), &error)) {
        return error;
    }
    *length = (ULONG)strlen(id);
    return CR_SUCCESS;
}
