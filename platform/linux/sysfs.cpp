// The bounded basic reads of sysfs (paths joined, small texts, links resolved inside the root,
// numbers), the helpers the other sysfs files share and the walk up to a node's parent device.
#include "platform/linux/sysfs.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int LxCopyText(char* out, size_t capacity, const char* text) {
    size_t n = strlen(text);
    if (n + 1 > capacity) {
        return -1;
    }
    memcpy(out, text, n + 1);
    return (int)n;
}

bool LxExists(const char* folder, const char* name) {
    char path[LX_PATH_CHARS];
    struct stat st;
    return LxJoin(path, sizeof(path), folder, name) >= 0 && stat(path, &st) == 0;
}

int LxJoin(char* out, size_t capacity, const char* a, const char* b) {
    int n = snprintf(out, capacity, "%s/%s", a, b);
    if (n < 0 || (size_t)n >= capacity) {
        if (capacity > 0) {
            out[0] = 0;
        }
        return -1;
    }
    return n;
}

int LxReadText(const char* path, char* out, size_t capacity) {
    if (capacity == 0) {
        return -1;
    }
    out[0] = 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    size_t total = 0;
    bool tooLong = false;
    for (;;) {
        if (total + 1 >= capacity) {
            char extra;
            ssize_t more = read(fd, &extra, 1);
            tooLong = more != 0;
            break;
        }
        ssize_t n = read(fd, out + total, capacity - 1 - total);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            close(fd);
            out[0] = 0;
            return -1;
        }
        if (n == 0) {
            break;
        }
        total += (size_t)n;
    }
    close(fd);
    if (tooLong) {
        out[0] = 0;
        return -1;
    }
    while (total > 0 && (out[total - 1] == '\n' || out[total - 1] == ' ' ||
                         out[total - 1] == '\t' || out[total - 1] == 0)) {
        --total;
    }
    out[total] = 0;
    if (memchr(out, 0, total) != NULL) {
        out[0] = 0;
        return -1; // a text with a NUL inside is no text
    }
    return (int)total;
}

int LxResolve(const char* root, const char* path, char* out, size_t capacity) {
    char resolved[PATH_MAX];
    if (realpath(path, resolved) == NULL) {
        return -1;
    }
    size_t rootLength = strlen(root);
    if (strncmp(resolved, root, rootLength) != 0 ||
        (resolved[rootLength] != 0 && resolved[rootLength] != '/')) {
        return -1;
    }
    return LxCopyText(out, capacity, resolved);
}

int LxLinkName(const char* path, char* out, size_t capacity) {
    char target[LX_PATH_CHARS];
    ssize_t n = readlink(path, target, sizeof(target));
    if (n <= 0 || (size_t)n >= sizeof(target)) {
        return -1;
    }
    target[n] = 0;
    return LxCopyText(out, capacity, LxBaseName(target));
}

int LxParseNumber(const char* text, int base, uint32_t max, uint32_t* out) {
    if (text == NULL || text[0] == 0 || strlen(text) > 10) {
        return -1;
    }
    uint64_t value = 0;
    for (const char* p = text; *p; ++p) {
        uint32_t digit = 0;
        if (*p >= '0' && *p <= '9') {
            digit = (uint32_t)(*p - '0');
        } else if (base == 16 && *p >= 'a' && *p <= 'f') {
            digit = (uint32_t)(*p - 'a' + 10);
        } else if (base == 16 && *p >= 'A' && *p <= 'F') {
            digit = (uint32_t)(*p - 'A' + 10);
        } else {
            return -1;
        }
        value = value * (uint64_t)base + digit;
        if (value > max) {
            return -1;
        }
    }
    *out = (uint32_t)value;
    return 1;
}

const char* LxBaseName(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash != NULL ? slash + 1 : path;
}

int LxParentNode(const char* sysRoot, const char* node, char* out, size_t capacity) {
    char devices[LX_PATH_CHARS];
    char path[LX_PATH_CHARS];
    if (LxJoin(devices, sizeof(devices), sysRoot, "devices") < 0 ||
        LxCopyText(path, sizeof(path), node) < 0) {
        return -1;
    }
    size_t floor = strlen(devices);
    for (;;) {
        char* slash = strrchr(path, '/');
        if (slash == NULL || (size_t)(slash - path) <= floor) {
            return -1;
        }
        *slash = 0;
        if (LxExists(path, "uevent")) {
            return LxCopyText(out, capacity, path);
        }
    }
}
