// zx-usbip-device: the USB disks of a scenario, each attached to the Linux kernel's vhci-hcd as a
// USB mass-storage device (bulk-only transport) over one end of an AF_UNIX socketpair, speaking
// the USB/IP protocol (Documentation/usb/usbip_protocol.rst): no network, no usbip tools. Test
// harness only; never shipped.
//
//   zx-usbip-device [--scenario FILE] --disk NAME [--disk NAME]... [--vhci DIR] [--log FILE]
//                   [--speed X]
//
// Each disk shows the scenario's VID, PID and serial number, its INQUIRY texts come from the
// enclosure model, and it sits on the vhci high-speed root port of the last number of its `usb`
// path. Every command block wrapper is handed, as it came over the cable, to the enclosure of
// the simulated PC (sim::UsbCommand): its bridge model, or the SAT translation in front of its
// SATA drive. When a command makes the enclosure lose power (a bridge's power request), the
// device answers its status, is detached, stays away for the scenario's power-cycle time (the
// simulated PC's clock, --speed times faster) and is attached again, as a new device on the
// same port. SIGUSR1 unplugs every disk and plugs it in again (its drive resets); SIGTERM
// detaches them and ends.
//
// It prints "attached NAME port P" at every attachment. --log writes one line per command
// block (sim::ScsiLogLine) and {"disk":SERIAL,"event":"detach"|"attach"} per change.
#include "platform/posix/control.h"
#include "sim/control.h"

#include <linux/sockios.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// USB/IP commands and the size of every header.
enum : uint32_t { kCmdSubmit = 1, kCmdUnlink = 2, kRetSubmit = 3, kRetUnlink = 4 };
constexpr size_t kHeader = 48;
// URB status values (negative errno).
constexpr int32_t kStall = -32; // EPIPE
constexpr uint32_t kHighSpeed = 3;
// Bulk endpoints of the mass-storage interface.
constexpr uint32_t kBulkIn = 1;
constexpr uint32_t kBulkOut = 2;
constexpr uint16_t kMaxPacket = 512;
// Bulk-only transport.
constexpr uint32_t kCbwSignature = 0x43425355; // "USBC"
constexpr uint32_t kCswSignature = 0x53425355; // "USBS"
constexpr size_t kCbwBytes = 31;
constexpr size_t kCswBytes = 13;
constexpr uint32_t kMaxTransfer = 8u << 20;

uint32_t GetBe32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
void PutBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
uint32_t GetLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = uint8_t(v >> (8 * i));
    }
}

bool ReadAll(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t got = ::read(fd, p, n);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        p += got;
        n -= size_t(got);
    }
    return true;
}
bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t put = ::send(fd, p, n, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        p += put;
        n -= size_t(put);
    }
    return true;
}

std::string Text(const std::string& s, size_t max) {
    return s.size() > max ? s.substr(0, max) : s;
}

struct Options {
    std::string scenario;
    std::vector<std::string> disks;
    std::string vhci = "/sys/devices/platform/vhci_hcd.0";
    std::string log;
    double speed = 1;
};

std::mutex g_logLock;
std::ofstream g_log;
std::atomic<bool> g_stop{false};
std::atomic<int> g_replugs{0};

void LogLine(const std::string& line) {
    std::lock_guard<std::mutex> guard(g_logLock);
    if (g_log) {
        g_log << line << "\n";
        g_log.flush();
    }
}

// Writes a text into a vhci control file; false with errno when the kernel refused it.
bool WriteControl(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        return false;
    }
    const bool ok = std::fputs(text.c_str(), f) >= 0;
    return std::fclose(f) == 0 && ok;
}

// One enclosure on the cable: its descriptors, the bulk-only transport's state, and the
// connection to vhci-hcd.
class Device {
public:
    Device(const Options& o, std::string disk, const sim::UsbView& view)
        : o_(o), disk_(std::move(disk)), view_(view) {}

    // Attaches, serves, and attaches again after every power cycle or replug, until stopped.
    void Run();
    uint32_t Port() const { return view_.port; }

private:
    bool Attach();
    void Detach();
    // Serves one attachment until the connection ends (a detach) or the enclosure lost power.
    void Serve();
    // Waits until the kernel has read everything sent to it.
    void WaitUntilTaken() const;
    bool Submit(const uint8_t* header);
    bool Unlink(const uint8_t* header);
    bool Reply(uint32_t seqnum, int32_t status, const uint8_t* data, uint32_t length,
               uint32_t actualOut);
    bool Control(uint32_t seqnum, const uint8_t* setup, uint32_t length);
    bool BulkOut(uint32_t seqnum, const std::vector<uint8_t>& data);
    bool BulkIn(uint32_t seqnum, uint32_t length);
    void Execute();
    std::vector<uint8_t> Descriptor(uint8_t type, uint8_t index) const;

    const Options& o_;
    std::string disk_;
    sim::UsbView view_;
    int fd_ = -1;
    uint32_t attachments_ = 0;
    int replugsAtAttach_ = 0;
    bool leave_ = false; // the enclosure lost power: detach once the status has gone out
    // Bulk-only transport: the command block, the data either way, the status to send.
    enum class Phase { Command, DataOut, DataIn, Status };
    Phase phase_ = Phase::Command;
    uint32_t tag_ = 0;
    uint32_t expected_ = 0; // dCBWDataTransferLength
    bool in_ = false;
    uint8_t cdb_[16] = {};
    uint8_t cdbLength_ = 0;
    std::vector<uint8_t> data_;
    uint32_t moved_ = 0;     // data bytes carried so far (in: asked for by the host)
    uint32_t available_ = 0; // data-in bytes the enclosure has
    uint32_t residue_ = 0;
    uint8_t status_ = 0;
};

std::vector<uint8_t> Device::Descriptor(uint8_t type, uint8_t index) const {
    if (type == 1) { // device
        std::vector<uint8_t> d = {18, 1, 0x00, 0x02, 0,    0, 0, 64, 0,
                                  0,  0, 0,    0x00, 0x01, 1, 2, 3,  1};
        d[8] = uint8_t(view_.vendorId);
        d[9] = uint8_t(view_.vendorId >> 8);
        d[10] = uint8_t(view_.productId);
        d[11] = uint8_t(view_.productId >> 8);
        return d;
    }
    if (type == 2 && index == 0) { // configuration, interface (mass storage, SCSI, bulk-only)
        return {9,
                2,
                32,
                0,
                1,
                1,
                0,
                0x80,
                50, //
                9,
                4,
                0,
                0,
                2,
                0x08,
                0x06,
                0x50,
                0, //
                7,
                5,
                uint8_t(0x80 | kBulkIn),
                2,
                uint8_t(kMaxPacket),
                uint8_t(kMaxPacket >> 8),
                0,
                7,
                5,
                uint8_t(kBulkOut),
                2,
                uint8_t(kMaxPacket),
                uint8_t(kMaxPacket >> 8),
                0};
    }
    if (type == 3) { // strings: languages, manufacturer, product, serial number
        if (index == 0) {
            return {4, 3, 0x09, 0x04};
        }
        std::string text = index == 1   ? Text(view_.vendor, 60)
                           : index == 2 ? Text(view_.product, 60)
                           : index == 3 ? Text(view_.serial, 60)
                                        : std::string();
        if (index > 3) {
            return {};
        }
        std::vector<uint8_t> d = {uint8_t(2 + 2 * text.size()), 3};
        for (char c : text) {
            d.push_back(uint8_t(c));
            d.push_back(0);
        }
        return d;
    }
    return {}; // device qualifier, BOS and the rest: this device has none (a stall)
}

bool Device::Reply(uint32_t seqnum, int32_t status, const uint8_t* data, uint32_t length,
                   uint32_t actualOut) {
    std::vector<uint8_t> r(kHeader, 0);
    PutBe32(&r[0], kRetSubmit);
    PutBe32(&r[4], seqnum);
    PutBe32(&r[20], uint32_t(status));
    PutBe32(&r[24], data != nullptr ? length : actualOut);
    if (data != nullptr && length != 0) {
        r.insert(r.end(), data, data + length);
    }
    return WriteAll(fd_, r.data(), r.size());
}

bool Device::Control(uint32_t seqnum, const uint8_t* setup, uint32_t length) {
    const uint8_t type = setup[0];
    const uint8_t request = setup[1];
    const uint16_t value = uint16_t(setup[2] | setup[3] << 8);
    const uint16_t wanted = uint16_t(setup[6] | setup[7] << 8);
    const uint32_t room = std::min<uint32_t>(wanted, length);
    std::vector<uint8_t> answer;
    bool in = (type & 0x80) != 0;
    bool ok = true;
    if (type == 0x80 && request == 6) { // GET_DESCRIPTOR
        answer = Descriptor(uint8_t(value >> 8), uint8_t(value));
        ok = !answer.empty();
    } else if (type == 0x80 && request == 0) { // GET_STATUS (device): bus powered
        answer = {0, 0};
    } else if ((type == 0x81 || type == 0x82) && request == 0) { // interface, endpoint
        answer = {0, 0};
    } else if (type == 0x80 && request == 8) { // GET_CONFIGURATION
        answer = {1};
    } else if (type == 0xA1 && request == 0xFE) { // GET MAX LUN: one logical unit
        answer = {0};
    } else if (type == 0x21 && request == 0xFF) { // bulk-only mass storage reset
        phase_ = Phase::Command;
    } else if ((type == 0x00 && request == 9) || (type == 0x01 && request == 11) ||
               (type == 0x02 && request == 1) || (type == 0x00 && request == 3)) {
        // SET_CONFIGURATION, SET_INTERFACE, CLEAR_FEATURE (endpoint halt), SET_FEATURE
    } else {
        ok = false;
    }
    if (!ok) {
        return Reply(seqnum, kStall, nullptr, 0, 0);
    }
    if (in) {
        const uint32_t n = std::min<uint32_t>(room, uint32_t(answer.size()));
        return Reply(seqnum, 0, answer.data(), n, 0);
    }
    return Reply(seqnum, 0, nullptr, 0, 0);
}

void Device::Execute() {
    sim::ScsiRequest rq;
    std::memcpy(rq.cdb, cdb_, sizeof(cdb_));
    rq.cdbLength = cdbLength_;
    rq.dir = expected_ == 0 ? sim::ScsiDir::Unspecified
             : in_          ? sim::ScsiDir::In
                            : sim::ScsiDir::Out;
    rq.data = data_.empty() ? nullptr : data_.data();
    rq.length = expected_;
    rq.wire = true;
    sim::ScsiReply reply;
    if (!sim::UsbCommand(disk_, rq, &reply)) {
        reply = sim::ScsiReply::Fail(0);
    }
    LogLine(sim::ScsiLogLine(view_.serial, rq, reply, false));
    available_ = in_ && reply.ok ? std::min(reply.transferred, expected_) : 0;
    // A command the enclosure could not complete is a phase error: the host resets the
    // transport and fails the command.
    status_ = !reply.ok ? 2 : reply.status == sim::kScsiGood ? 0 : 1;
    residue_ = in_ ? expected_ - available_ : 0;
    moved_ = 0;
    phase_ = in_ && expected_ != 0 ? Phase::DataIn : Phase::Status;
    leave_ = !sim::IsPresent(disk_);
}

bool Device::BulkOut(uint32_t seqnum, const std::vector<uint8_t>& data) {
    if (phase_ == Phase::Command) {
        if (data.size() != kCbwBytes || GetLe32(&data[0]) != kCbwSignature || data[14] == 0 ||
            data[14] > 16 || GetLe32(&data[8]) > kMaxTransfer) {
            return Reply(seqnum, kStall, nullptr, 0, 0);
        }
        tag_ = GetLe32(&data[4]);
        expected_ = GetLe32(&data[8]);
        in_ = (data[12] & 0x80) != 0;
        cdbLength_ = data[14];
        std::memset(cdb_, 0, sizeof(cdb_));
        std::memcpy(cdb_, &data[15], cdbLength_);
        data_.assign(expected_, 0);
        moved_ = 0;
        if (in_ || expected_ == 0) {
            Execute();
        } else {
            phase_ = Phase::DataOut;
        }
        return Reply(seqnum, 0, nullptr, 0, uint32_t(data.size()));
    }
    if (phase_ == Phase::DataOut) {
        const uint32_t n = std::min<uint32_t>(uint32_t(data.size()), expected_ - moved_);
        std::memcpy(data_.data() + moved_, data.data(), n);
        moved_ += n;
        if (moved_ == expected_) {
            Execute();
            residue_ = 0;
        }
        return Reply(seqnum, 0, nullptr, 0, uint32_t(data.size()));
    }
    return Reply(seqnum, kStall, nullptr, 0, 0);
}

bool Device::BulkIn(uint32_t seqnum, uint32_t length) {
    if (phase_ == Phase::DataIn) {
        const uint32_t sent = std::min(moved_, available_);
        const uint32_t n = std::min(length, available_ - sent);
        moved_ += length;
        // A short packet, or all the host asked for, ends the data phase.
        if (n < length || moved_ >= expected_) {
            phase_ = Phase::Status;
        }
        return Reply(seqnum, 0, data_.data() + sent, n, 0);
    }
    if (phase_ == Phase::Status && length >= kCswBytes) {
        uint8_t csw[kCswBytes] = {};
        PutLe32(csw, kCswSignature);
        PutLe32(csw + 4, tag_);
        PutLe32(csw + 8, residue_);
        csw[12] = status_;
        phase_ = Phase::Command;
        return Reply(seqnum, 0, csw, kCswBytes, 0);
    }
    return Reply(seqnum, kStall, nullptr, 0, 0);
}

bool Device::Submit(const uint8_t* h) {
    const uint32_t seqnum = GetBe32(h + 4);
    const uint32_t direction = GetBe32(h + 12);
    const uint32_t ep = GetBe32(h + 16);
    const uint32_t length = GetBe32(h + 24);
    const uint8_t* setup = h + 40;
    if (length > kMaxTransfer) {
        return false;
    }
    std::vector<uint8_t> out;
    if (direction == 0 && length != 0) {
        out.resize(length);
        if (!ReadAll(fd_, out.data(), length)) {
            return false;
        }
    }
    if (ep == 0) {
        return Control(seqnum, setup, length);
    }
    if (ep == kBulkOut && direction == 0) {
        return BulkOut(seqnum, out);
    }
    if (ep == kBulkIn && direction == 1) {
        return BulkIn(seqnum, length);
    }
    return Reply(seqnum, kStall, nullptr, 0, 0);
}

bool Device::Unlink(const uint8_t* h) {
    // Every request is answered when it arrives, so there is never one to take back: the
    // answer is that it completed already.
    std::vector<uint8_t> r(kHeader, 0);
    PutBe32(&r[0], kRetUnlink);
    PutBe32(&r[4], GetBe32(h + 4));
    return WriteAll(fd_, r.data(), r.size());
}

bool Device::Attach() {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        return false;
    }
    ++attachments_;
    const uint32_t port = view_.port - 1; // the high-speed root ports come first
    const uint32_t devid = 1u << 16 | attachments_;
    const std::string text = std::to_string(port) + " " + std::to_string(pair[1]) + " " +
                             std::to_string(devid) + " " + std::to_string(kHighSpeed);
    const bool attached = WriteControl(o_.vhci + "/attach", text);
    ::close(pair[1]); // the kernel holds its own reference
    if (!attached) {
        std::fprintf(stderr, "zx-usbip-device: %s: vhci refused \"%s\": %s\n", disk_.c_str(),
                     text.c_str(), std::strerror(errno));
        ::close(pair[0]);
        return false;
    }
    fd_ = pair[0];
    replugsAtAttach_ = g_replugs.load();
    phase_ = Phase::Command;
    leave_ = false;
    LogLine("{\"disk\":\"" + view_.serial + "\",\"event\":\"attach\"}");
    std::printf("attached %s port %u\n", disk_.c_str(), view_.port);
    std::fflush(stdout);
    return true;
}

void Device::Detach() {
    WriteControl(o_.vhci + "/detach", std::to_string(view_.port - 1)); // unless detached already
    // The kernel shuts its end down; what it still sends is dropped.
    uint8_t sink[4096];
    while (::read(fd_, sink, sizeof(sink)) > 0) {
    }
    ::close(fd_);
    fd_ = -1;
    LogLine("{\"disk\":\"" + view_.serial + "\",\"event\":\"detach\"}");
}

void Device::WaitUntilTaken() const {
    int unread = 0;
    while (::ioctl(fd_, SIOCOUTQ, &unread) == 0 && unread > 0) {
        ::usleep(1000);
    }
}

void Device::Serve() {
    uint8_t h[kHeader];
    while (ReadAll(fd_, h, sizeof(h))) {
        const uint32_t command = GetBe32(h);
        const bool ok = command == kCmdSubmit ? Submit(h) : command == kCmdUnlink && Unlink(h);
        if (!ok) {
            return; // a broken exchange
        }
        if (leave_ && phase_ == Phase::Command) {
            // The status of the power request went out: the enclosure goes once the kernel has
            // taken it (its answer is on the cable before the power is cut).
            WaitUntilTaken();
            return;
        }
    }
}

void Device::Run() {
    if (!Attach()) {
        return;
    }
    for (;;) {
        Serve();
        Detach();
        if (g_stop.load()) {
            return;
        }
        if (g_replugs.load() != replugsAtAttach_) {
            sim::ReplugDisk(disk_);
        } else if (!leave_) {
            return; // the kernel ended the connection
        }
        // Away for the scenario's power-cycle time; the bound only turns a disk that never
        // comes back into an end instead of a hang.
        if (!sim::WaitForPresence(disk_, true, std::chrono::minutes(5)) || !Attach()) {
            return;
        }
    }
}

int Usage() {
    std::fprintf(stderr, "usage: zx-usbip-device [--scenario FILE] --disk NAME [--disk NAME]... "
                         "[--vhci DIR] [--log FILE] [--speed X]\n");
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
            o.disks.push_back(value());
        } else if (a == "--vhci") {
            o.vhci = value();
        } else if (a == "--log") {
            o.log = value();
        } else if (a == "--speed") {
            o.speed = std::atof(value().c_str());
        } else {
            return Usage();
        }
    }
    if (o.disks.empty() || o.speed <= 0) {
        return Usage();
    }
    std::string error;
    if (!(o.scenario.empty() ? sim::LoadDefaultScenario(&error)
                             : sim::LoadScenarioFile(o.scenario, &error))) {
        std::fprintf(stderr, "zx-usbip-device: %s\n", error.c_str());
        return 2;
    }
    zxposix::SetClockSpeed(o.speed);
    if (!o.log.empty()) {
        g_log.open(o.log, std::ios::out | std::ios::trunc);
        if (!g_log) {
            std::fprintf(stderr, "zx-usbip-device: cannot write %s\n", o.log.c_str());
            return 2;
        }
    }
    std::vector<std::unique_ptr<Device>> devices;
    for (const std::string& disk : o.disks) {
        sim::UsbView view;
        if (!sim::DescribeUsbDisk(disk, &view) || view.port == 0 || view.port > 8) {
            std::fprintf(stderr, "zx-usbip-device: '%s' is no USB disk on ports 1..8\n",
                         disk.c_str());
            return 2;
        }
        devices.push_back(std::make_unique<Device>(o, disk, view));
    }
    // Signals are taken by this thread alone.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::vector<std::thread> threads;
    for (auto& d : devices) {
        threads.emplace_back([&d] { d->Run(); });
    }
    auto detachAll = [&] {
        for (const auto& d : devices) {
            WriteControl(o.vhci + "/detach", std::to_string(d->Port() - 1));
        }
    };
    for (;;) {
        int sig = 0;
        sigwait(&set, &sig);
        if (sig != SIGUSR1) {
            break;
        }
        // Unplugged: each device's connection ends, and its thread plugs it in again.
        ++g_replugs;
        detachAll();
    }
    g_stop = true;
    detachAll();
    for (auto& t : threads) {
        t.join();
    }
    std::printf("stopped\n");
    std::fflush(stdout);
    return 0;
}
