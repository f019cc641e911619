// zx-nvme-tcp-target: one simulated NVMe drive of a scenario, served as an NVMe over TCP
// controller (the NVMe/TCP transport and the fabrics commands), so that the Linux kernel's own
// nvme-tcp host driver attaches it as /dev/nvmeN. Test harness only; never shipped.
//
//   zx-nvme-tcp-target --scenario FILE --disk NAME [--port N] [--nqn NQN] [--log FILE]
//                      [--gone-after-reset]
//
// The drive model answers every admin command except those that belong to a fabrics controller
// (Connect, Property Get and Set, Keep Alive, Asynchronous Event Request, the queue-count and
// keep-alive features, the Namespace Identification Descriptor list); Identify Controller gets
// the fabrics fields a host needs (SGL support, capsule sizes, MAXCMD, KAS, SUBNQN). Clearing
// CC.EN is the controller reset: the drive resets (a committed image may start). With
// --gone-after-reset the controller takes no connection after its first reset: the drive does
// not come back. The I/O queue reads zeros and drops writes.
//
// It prints "listening on 127.0.0.1:PORT" once it takes connections; --log writes one line per
// admin command (sim::AdminLogLine) and {"reset":1} per controller reset.
#include "sim/control.h"
#include "sim/nvme_drive.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

// PDU types of the NVMe/TCP transport.
enum : uint8_t {
    kIcReq = 0x00,
    kIcResp = 0x01,
    kH2CTermReq = 0x02,
    kCapsuleCmd = 0x04,
    kCapsuleResp = 0x05,
    kH2CData = 0x06,
    kC2HData = 0x07,
    kR2T = 0x09,
};
constexpr uint8_t kLastPdu = 0x04;
constexpr uint32_t kMaxH2CData = 0x20000;
constexpr uint8_t kFabrics = 0x7F;
enum : uint8_t { kPropertySet = 0x00, kConnect = 0x01, kPropertyGet = 0x04 };
constexpr uint16_t kControllerId = 1;

uint16_t Get16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
uint32_t Get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t Get64(const uint8_t* p) {
    return uint64_t(Get32(p)) | uint64_t(Get32(p + 4)) << 32;
}
void Put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = uint8_t(v >> (8 * i));
    }
}

struct Options {
    std::string scenario;
    std::string disk;
    int port = 4420;
    std::string nqn = "nqn.2024-01.dev.zxflash:zeltarix";
    std::string log;
    bool goneAfterReset = false;
};

// What a fabrics controller adds to the drive's Identify Controller data.
void AddFabricsFields(uint8_t* id, const std::string& nqn) {
    Put16(id + 320, 10);       // KAS: keep alive in units of 100 ms
    Put16(id + 514, 128);      // MAXCMD
    Put32(id + 536, 0x100001); // SGLS: SGLs, and offsets in SGL data blocks
    std::memset(id + 768, 0, 256);
    std::memcpy(id + 768, nqn.data(), std::min<size_t>(nqn.size(), 255)); // SUBNQN
    Put32(id + 1792, 4); // IOCCSZ: 64-byte I/O capsules, no in-capsule data
    Put32(id + 1796, 1); // IORCSZ
    Put16(id + 1800, 0); // ICDOFF
    id[1802] = 0;        // FCATT: static controller model
    id[1803] = 1;        // MSDBD
}

struct Pending {
    std::vector<uint8_t> sqe;
    std::vector<uint8_t> data;
    uint32_t received = 0;
};

struct Connection {
    int fd = -1;
    std::vector<uint8_t> in;
    int qid = -1;
    uint16_t sqHead = 0;
    uint16_t sqSize = 0;
    std::map<uint16_t, Pending> pending;
};

class Target {
public:
    explicit Target(Options options) : o_(std::move(options)) {
        if (!o_.log.empty()) {
            log_.open(o_.log, std::ios::out | std::ios::trunc);
        }
    }
    bool LogOk() const { return o_.log.empty() || bool(log_); }
    int Serve();

private:
    bool HandlePdu(Connection& c, const uint8_t* pdu, uint32_t length);
    void Execute(Connection& c, const std::vector<uint8_t>& sqe, std::vector<uint8_t>& data);
    sim::NvmeCompletion Admin(const std::vector<uint8_t>& sqe, std::vector<uint8_t>& data,
                              bool& hold);
    sim::NvmeCompletion Fabrics(Connection& c, const std::vector<uint8_t>& sqe,
                                const std::vector<uint8_t>& data);
    sim::NvmeCompletion Io(const std::vector<uint8_t>& sqe, std::vector<uint8_t>& data);
    sim::NvmeCompletion Drive(sim::NvmeAdminRequest& request);
    void ControllerReset();
    bool Send(Connection& c, const std::vector<uint8_t>& bytes);
    void Respond(Connection& c, uint16_t cid, const sim::NvmeCompletion& done);
    void LogLine(const std::string& line) {
        if (log_) {
            log_ << line << "\n";
            log_.flush();
        }
    }

    Options o_;
    std::ofstream log_;
    int listener_ = -1;
    uint32_t cc_ = 0;
    bool shutDown_ = false;
    bool gone_ = false;
};

bool Target::Send(Connection& c, const std::vector<uint8_t>& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(c.fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += size_t(n);
    }
    return true;
}

void Target::Respond(Connection& c, uint16_t cid, const sim::NvmeCompletion& done) {
    std::vector<uint8_t> pdu(24, 0);
    pdu[0] = kCapsuleResp;
    pdu[2] = 24;
    Put32(&pdu[4], 24);
    c.sqHead = c.sqSize != 0 ? uint16_t((c.sqHead + 1) % (uint32_t(c.sqSize) + 1)) : 0;
    sim::NvmeCompletion cqe = done;
    cqe.sqHead = c.sqHead;
    cqe.sqId = uint16_t(c.qid < 0 ? 0 : c.qid);
    cqe.cid = cid;
    cqe.ToBytes(&pdu[8]);
    Send(c, pdu);
}

sim::NvmeCompletion Target::Drive(sim::NvmeAdminRequest& request) {
    sim::NvmeCompletion done = sim::NvmeCompletion::Of(sim::nvme_status::kInternalError);
    sim::WithDrive(o_.disk, [&](sim::NvmeDrive& drive) { done = drive.Admin(request); });
    return done;
}

void Target::ControllerReset() {
    sim::WithDrive(o_.disk, [](sim::NvmeDrive& drive) { drive.Reset(sim::NvmeReset::Controller); });
    LogLine("{\"reset\":1}");
    if (o_.goneAfterReset && !gone_) {
        gone_ = true;
        ::close(listener_);
        listener_ = -1;
        std::printf("gone: no connection from now on\n");
        std::fflush(stdout);
    }
}

sim::NvmeCompletion Target::Fabrics(Connection& c, const std::vector<uint8_t>& sqe,
                                    const std::vector<uint8_t>& data) {
    const uint8_t type = sqe[4];
    sim::NvmeCompletion done = sim::NvmeCompletion::Of(sim::nvme_status::kSuccess);
    if (type == kConnect) {
        const std::string subnqn(reinterpret_cast<const char*>(data.data()) + 256,
                                 strnlen(reinterpret_cast<const char*>(data.data()) + 256, 256));
        if (data.size() < 1024 || subnqn != o_.nqn || gone_) {
            return sim::NvmeCompletion::Of(sim::NvmeStatus{1, 0x82}); // invalid parameters
        }
        c.qid = Get16(&sqe[42]);
        c.sqSize = Get16(&sqe[44]);
        done.dw0 = kControllerId;
        return done;
    }
    const uint32_t offset = Get32(&sqe[44]);
    const bool wide = (sqe[40] & 7) == 1;
    if (type == kPropertyGet) {
        uint64_t value = 0;
        switch (offset) {
        case 0x00: // CAP: MQES 127, CQR, TO 10 s, NVM command set
            value = 127u | 1u << 16 | uint64_t(20) << 24 | uint64_t(1) << 37;
            break;
        case 0x08: // VS
            value = 0x00010400;
            break;
        case 0x14: // CC
            value = cc_;
            break;
        case 0x1C: // CSTS: RDY follows EN; shutdown complete after a shutdown notification
            value = (cc_ & 1) | (shutDown_ ? 2u << 2 : 0);
            break;
        default:
            return sim::NvmeCompletion::Of(sim::nvme_status::kInvalidField);
        }
        done.dw0 = uint32_t(value);
        done.dw1 = wide ? uint32_t(value >> 32) : 0;
        return done;
    }
    if (type == kPropertySet && offset == 0x14) {
        const uint32_t value = uint32_t(Get64(&sqe[48]));
        const bool wasEnabled = (cc_ & 1) != 0;
        cc_ = value;
        shutDown_ = ((value >> 14) & 3) != 0;
        if (wasEnabled && (value & 1) == 0) {
            ControllerReset();
        }
        return done;
    }
    return sim::NvmeCompletion::Of(sim::nvme_status::kInvalidField);
}

sim::NvmeCompletion Target::Admin(const std::vector<uint8_t>& sqe, std::vector<uint8_t>& data,
                                  bool& hold) {
    sim::NvmeAdminRequest request;
    request.cmd = sim::NvmeCommand::FromBytes(sqe.data());
    request.cmd.cdw[0] &= 0xFF; // the command identifier and the SGL flags are the transport's
    for (int i = 6; i <= 9; ++i) {
        request.cmd.cdw[i] = 0; // the data pointer, an SGL of this transport
    }
    request.dir = data.empty()   ? sim::NvmeXfer::None
                  : (sqe[0] & 1) ? sim::NvmeXfer::ToDevice
                                 : sim::NvmeXfer::FromDevice;
    request.data = data.empty() ? nullptr : data.data();
    request.length = uint32_t(data.size());
    const uint8_t op = sqe[0];
    const uint32_t cdw10 = request.cmd.cdw[10];
    sim::NvmeCompletion done = sim::NvmeCompletion::Of(sim::nvme_status::kSuccess);
    if (op == 0x0C) { // Asynchronous Event Request: no event ever comes
        hold = true;
        return done;
    }
    if (op == 0x18) { // Keep Alive
        // answered below without the drive
    } else if ((op == 0x09 || op == 0x0A) && (cdw10 & 0xFF) == 0x07) {
        done.dw0 = 0; // Number of Queues: one I/O queue each way
    } else if (op == 0x09 && ((cdw10 & 0xFF) == 0x0B || (cdw10 & 0xFF) == 0x0F)) {
        // Asynchronous Event Configuration, Keep Alive Timer: taken
    } else if (op == 0x06 && (cdw10 & 0xFF) == 0x03) {
        std::fill(data.begin(), data.end(), 0); // Namespace Identification Descriptors: none
    } else {
        done = Drive(request);
        if (op == 0x06 && (cdw10 & 0xFF) == 0x01 && done.Ok() && data.size() >= 4096) {
            AddFabricsFields(data.data(), o_.nqn);
        }
    }
    LogLine(sim::AdminLogLine(request, done));
    return done;
}

sim::NvmeCompletion Target::Io(const std::vector<uint8_t>& sqe, std::vector<uint8_t>& data) {
    switch (sqe[0]) {
    case 0x00: // Flush
    case 0x01: // Write: the data is dropped
        return sim::NvmeCompletion::Of(sim::nvme_status::kSuccess);
    case 0x02: // Read: zeros
        std::fill(data.begin(), data.end(), 0);
        return sim::NvmeCompletion::Of(sim::nvme_status::kSuccess);
    default:
        return sim::NvmeCompletion::Of(sim::nvme_status::kInvalidOpcode);
    }
}

void Target::Execute(Connection& c, const std::vector<uint8_t>& sqe, std::vector<uint8_t>& data) {
    const uint16_t cid = Get16(&sqe[2]);
    sim::NvmeCompletion done;
    bool hold = false;
    if (sqe[0] == kFabrics) {
        done = Fabrics(c, sqe, data);
    } else if (c.qid == 0) {
        done = Admin(sqe, data, hold);
    } else if (c.qid > 0) {
        done = Io(sqe, data);
    } else {
        done = sim::NvmeCompletion::Of(sim::NvmeStatus{0, 0x0C}); // not connected
    }
    if (hold) {
        return;
    }
    const bool fromController = sqe[0] != kFabrics && (sqe[0] & 1) == 0 && !data.empty();
    if (done.Ok() && fromController) {
        std::vector<uint8_t> pdu(24, 0);
        pdu[0] = kC2HData;
        pdu[1] = kLastPdu;
        pdu[2] = 24;
        pdu[3] = 24;
        Put32(&pdu[4], uint32_t(24 + data.size()));
        Put16(&pdu[8], cid);
        Put32(&pdu[12], 0);
        Put32(&pdu[16], uint32_t(data.size()));
        pdu.insert(pdu.end(), data.begin(), data.end());
        Send(c, pdu);
    }
    Respond(c, cid, done);
}

bool Target::HandlePdu(Connection& c, const uint8_t* pdu, uint32_t length) {
    const uint8_t type = pdu[0];
    const uint8_t hlen = pdu[2];
    const uint8_t pdo = pdu[3];
    if (type == kIcReq) {
        std::vector<uint8_t> resp(128, 0);
        resp[0] = kIcResp;
        resp[2] = 128;
        Put32(&resp[4], 128);
        Put32(&resp[12], kMaxH2CData);
        return Send(c, resp);
    }
    if (type == kCapsuleCmd && hlen == 72 && length >= 72) {
        std::vector<uint8_t> sqe(pdu + 8, pdu + 72);
        const uint32_t sglLength = Get32(&sqe[32]);
        const bool toController = sqe[0] == kFabrics ? sqe[4] == kConnect : (sqe[0] & 1) != 0;
        std::vector<uint8_t> data(sglLength, 0);
        if (toController && sglLength != 0) {
            if (length > hlen) { // the data came in the capsule
                const uint32_t at = pdo != 0 ? pdo : hlen;
                if (at > length || length - at != sglLength) {
                    return false;
                }
                std::memcpy(data.data(), pdu + at, sglLength);
            } else { // ask for it
                const uint16_t cid = Get16(&sqe[2]);
                Pending& p = c.pending[cid];
                p.sqe = sqe;
                p.data.assign(sglLength, 0);
                std::vector<uint8_t> r2t(24, 0);
                r2t[0] = kR2T;
                r2t[2] = 24;
                Put32(&r2t[4], 24);
                Put16(&r2t[8], cid);
                Put16(&r2t[10], cid);
                Put32(&r2t[12], 0);
                Put32(&r2t[16], sglLength);
                return Send(c, r2t);
            }
        }
        Execute(c, sqe, data);
        return true;
    }
    if (type == kH2CData && hlen == 24 && length >= 24) {
        const uint16_t cid = Get16(pdu + 8);
        const uint32_t offset = Get32(pdu + 12);
        const uint32_t dataLength = Get32(pdu + 16);
        auto it = c.pending.find(cid);
        if (it == c.pending.end() || pdo < 24 || pdo + uint64_t(dataLength) > length ||
            offset + uint64_t(dataLength) > it->second.data.size()) {
            return false;
        }
        Pending& p = it->second;
        std::memcpy(p.data.data() + offset, pdu + pdo, dataLength);
        p.received += dataLength;
        if (p.received == p.data.size()) {
            std::vector<uint8_t> sqe = p.sqe;
            std::vector<uint8_t> data = std::move(p.data);
            c.pending.erase(it);
            Execute(c, sqe, data);
        }
        return true;
    }
    return false; // H2CTermReq or anything this target does not speak: close
}

int Target::Serve() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(o_.port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener_, 8) != 0) {
        std::perror("zx-nvme-tcp-target: 127.0.0.1");
        return 1;
    }
    std::printf("listening on 127.0.0.1:%d\n", o_.port);
    std::fflush(stdout);
    std::vector<std::unique_ptr<Connection>> connections;
    for (;;) {
        std::vector<pollfd> fds;
        if (listener_ >= 0) {
            fds.push_back(pollfd{listener_, POLLIN, 0});
        }
        for (auto& c : connections) {
            fds.push_back(pollfd{c->fd, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            continue;
        }
        size_t first = 0;
        if (listener_ >= 0) {
            first = 1;
            if (fds[0].revents & POLLIN) {
                int fd = ::accept(listener_, nullptr, nullptr);
                if (fd >= 0) {
                    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
                    auto c = std::make_unique<Connection>();
                    c->fd = fd;
                    connections.push_back(std::move(c));
                }
            }
        }
        for (size_t i = first; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                continue;
            }
            Connection& c = *connections[i - first];
            uint8_t buffer[65536];
            ssize_t n = ::recv(c.fd, buffer, sizeof(buffer), 0);
            bool open = n > 0;
            if (open) {
                c.in.insert(c.in.end(), buffer, buffer + n);
            }
            while (open && c.in.size() >= 8) {
                const uint32_t plen = Get32(&c.in[4]);
                if (plen < 8 || plen > (16u << 20)) {
                    open = false;
                    break;
                }
                if (c.in.size() < plen) {
                    break;
                }
                open = HandlePdu(c, c.in.data(), plen);
                c.in.erase(c.in.begin(), c.in.begin() + long(plen));
            }
            if (!open) {
                ::close(c.fd);
                c.fd = -1;
            }
        }
        for (size_t i = 0; i < connections.size();) {
            if (connections[i]->fd < 0) {
                connections.erase(connections.begin() + long(i));
            } else {
                ++i;
            }
        }
    }
}

int Usage() {
    std::fprintf(stderr, "usage: zx-nvme-tcp-target --scenario FILE --disk NAME [--port N] "
                         "[--nqn NQN] [--log FILE] [--gone-after-reset]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--scenario") {
            o.scenario = value();
        } else if (a == "--disk") {
            o.disk = value();
        } else if (a == "--port") {
            o.port = std::atoi(value().c_str());
        } else if (a == "--nqn") {
            o.nqn = value();
        } else if (a == "--log") {
            o.log = value();
        } else if (a == "--gone-after-reset") {
            o.goneAfterReset = true;
        } else {
            return Usage();
        }
    }
    if (o.scenario.empty() || o.disk.empty() || o.port <= 0 || o.port > 65535) {
        return Usage();
    }
    std::string error;
    if (!sim::LoadScenarioFile(o.scenario, &error)) {
        std::fprintf(stderr, "zx-nvme-tcp-target: %s\n", error.c_str());
        return 2;
    }
    if (!sim::WithDrive(o.disk, [](sim::NvmeDrive&) {})) {
        std::fprintf(stderr, "zx-nvme-tcp-target: the scenario has no NVMe drive '%s'\n",
                     o.disk.c_str());
        return 2;
    }
    Target target(o);
    if (!target.LogOk()) {
        std::fprintf(stderr, "zx-nvme-tcp-target: cannot write %s\n", o.log.c_str());
        return 2;
    }
    return target.Serve();
}
