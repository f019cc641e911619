// The command log line of sim/control.h: the same fields, in the same order, as the Linux
// backend's and the NVMe/TCP target's logs, so that one reader compares them.
#include "sim/control.h"
#include "sim/trace.h"

#include <cstdio>

namespace sim {

std::string AdminLogLine(const NvmeAdminRequest& r, const NvmeCompletion& c) {
    const NvmeCommand& cmd = r.cmd;
    char head[400];
    std::snprintf(head, sizeof(head),
                  "{\"opcode\":%u,\"nsid\":%u,\"cdw10\":%u,\"cdw11\":%u,\"cdw12\":%u,"
                  "\"cdw13\":%u,\"cdw14\":%u,\"cdw15\":%u,\"dir\":\"%s\",\"len\":%u,\"data\":\"",
                  unsigned(cmd.Opcode()), unsigned(cmd.Nsid()), unsigned(cmd.cdw[10]),
                  unsigned(cmd.cdw[11]), unsigned(cmd.cdw[12]), unsigned(cmd.cdw[13]),
                  unsigned(cmd.cdw[14]), unsigned(cmd.cdw[15]), XferName(r.dir),
                  unsigned(r.length));
    const bool moved = r.dir == NvmeXfer::ToDevice || (r.dir == NvmeXfer::FromDevice && c.Ok());
    std::string line = head;
    if (moved && r.data != nullptr) {
        line += HexText(r.data, r.length);
    }
    char tail[64];
    std::snprintf(tail, sizeof(tail), "\",\"status\":%u}",
                  unsigned(c.status.sct & 7) << 8 | unsigned(c.status.sc));
    return line + tail;
}

} // namespace sim
