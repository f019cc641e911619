#include "platform/linux/nvme_admin.h"

#include <errno.h>
#include <linux/nvme_ioctl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>

namespace {

pthread_mutex_t g_logLock = PTHREAD_MUTEX_INITIALIZER;
FILE* g_log = NULL;

const char* DirectionName(int direction) {
    switch (direction) {
    case LX_DIR_TO_DEVICE:
        return "to_device";
    case LX_DIR_FROM_DEVICE:
        return "from_device";
    default:
        return "none";
    }
}

// One line per command: who asked, the dwords the controller sees, the data either way (from
// the device only when it ran), and how it ended.
void LogCommand(const char* controller, int origin, const LxNvmeCommand* c, int rc,
                uint32_t result) {
    pthread_mutex_lock(&g_logLock);
    if (g_log != NULL) {
        fprintf(g_log,
                "{\"ctrl\":\"%s\",\"origin\":\"%s\",\"opcode\":%u,\"nsid\":%u,\"cdw10\":%u,"
                "\"cdw11\":%u,\"cdw12\":%u,\"cdw13\":%u,\"cdw14\":%u,\"cdw15\":%u,"
                "\"dir\":\"%s\",\"len\":%u,\"data\":\"",
                controller, origin == LX_ORIGIN_PROGRAM ? "program" : "platform",
                (unsigned)(c->cdw[0] & 0xFF), (unsigned)c->cdw[1], (unsigned)c->cdw[10],
                (unsigned)c->cdw[11], (unsigned)c->cdw[12], (unsigned)c->cdw[13],
                (unsigned)c->cdw[14], (unsigned)c->cdw[15], DirectionName(c->direction),
                (unsigned)c->length);
        bool dataMoved =
            c->direction == LX_DIR_TO_DEVICE || (c->direction == LX_DIR_FROM_DEVICE && rc == 0);
        if (dataMoved && c->data != NULL) {
            for (uint32_t i = 0; i < c->length; ++i) {
                fprintf(g_log, "%02x", c->data[i]);
            }
        }
        fprintf(g_log, "\",\"status\":%d,\"result\":%u}\n", rc, (unsigned)result);
        fflush(g_log);
    }
    pthread_mutex_unlock(&g_logLock);
}

} // namespace

int LxNvmeAdmin(int fd, const char* controller, int origin, const LxNvmeCommand* command,
                uint32_t* result) {
    struct nvme_passthru_cmd pt;
    memset(&pt, 0, sizeof(pt));
    pt.opcode = (uint8_t)(command->cdw[0] & 0xFF);
    pt.flags = (uint8_t)((command->cdw[0] >> 8) & 0xFF);
    pt.nsid = command->cdw[1];
    pt.cdw2 = command->cdw[2];
    pt.cdw3 = command->cdw[3];
    pt.cdw10 = command->cdw[10];
    pt.cdw11 = command->cdw[11];
    pt.cdw12 = command->cdw[12];
    pt.cdw13 = command->cdw[13];
    pt.cdw14 = command->cdw[14];
    pt.cdw15 = command->cdw[15];
    pt.addr = (uint64_t)(uintptr_t)command->data;
    pt.data_len = command->length;
    pt.timeout_ms = command->timeoutMs;
    int rc = ioctl(fd, NVME_IOCTL_ADMIN_CMD, &pt);
    if (rc < 0) {
        rc = -errno;
    } else if (rc > 0) {
        rc &= 0x7FF; // SCT and SC; the More and Do Not Retry bits say nothing here
    }
    *result = rc == 0 ? pt.result : 0;
    LogCommand(controller, origin, command, rc, *result);
    return rc;
}

int LxNvmeReset(int fd, const char* controller) {
    int rc = ioctl(fd, NVME_IOCTL_RESET);
    if (rc < 0) {
        rc = -errno;
    }
    pthread_mutex_lock(&g_logLock);
    if (g_log != NULL) {
        fprintf(g_log, "{\"ctrl\":\"%s\",\"origin\":\"platform\",\"reset\":1,\"status\":%d}\n",
                controller, rc);
        fflush(g_log);
    }
    pthread_mutex_unlock(&g_logLock);
    return rc;
}

void LxLogWrite(const char* head, const uint8_t* data, uint32_t length, const char* tail) {
    pthread_mutex_lock(&g_logLock);
    if (g_log != NULL) {
        fputs(head, g_log);
        for (uint32_t i = 0; data != NULL && i < length; ++i) {
            fprintf(g_log, "%02x", data[i]);
        }
        fputs(tail, g_log);
        fputc('\n', g_log);
        fflush(g_log);
    }
    pthread_mutex_unlock(&g_logLock);
}

int LxSetCommandLog(const char* path) {
    FILE* file = NULL;
    if (path != NULL && path[0] != 0) {
        file = fopen(path, "w");
        if (file == NULL) {
            return -1;
        }
    }
    pthread_mutex_lock(&g_logLock);
    FILE* old = g_log;
    g_log = file;
    pthread_mutex_unlock(&g_logLock);
    if (old != NULL) {
        fclose(old);
    }
    return 1;
}
