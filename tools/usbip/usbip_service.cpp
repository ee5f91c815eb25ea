#include "tools/usbip/usbip_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <future>
#include <list>
#include <map>
#include <sstream>

#include "host/kernel/kernel.h"
#include "platform/ke.h"
#include "sim/cards/builtin_card.h"
#include "sim/cards/vpcd_bridge.h"
#include "sim/converter_rig.h"
#include "tools/usbip/exported_device.h"
#include "tools/usbip/usbip_protocol.h"

namespace tools::usbip {

namespace {

constexpr uint32_t kBusNumber = 1;
// The largest transfer a client may hand over; the converter's pipes move 8 bytes a packet.
constexpr uint32_t kMaxTransfer = 64 * 1024;
constexpr uint32_t kMaxEndpointNumber = 15;
// How long an outside thread waits for the machine to take a job before it takes the machine
// for stopped (a verifier stop ends it; a healthy machine answers within milliseconds).
constexpr std::chrono::seconds kMachineAnswer{30};
constexpr std::chrono::seconds kImportWait{2};
constexpr std::chrono::milliseconds kImportRetry{20};

std::string BusId(unsigned index) { return "1-" + std::to_string(index + 1); }

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

bool IsQuit(const std::string& line) { return Words(line) == std::vector<std::string>{"quit"}; }

}  // namespace

// --- the machine -------------------------------------------------------------------------------

struct Service::Machine {
  explicit Machine(const ServiceOptions& o)
      : options(o),
        kernel(host::kernel::KernelOptions{.mode = host::kernel::Mode::kReal, .seed = o.seed}) {}

  const ServiceOptions& options;
  host::kernel::Kernel kernel;
  std::thread thread;
  host::kernel::RunResult result;
  std::shared_ptr<sim::VpcdBridge> vicc;

  // Jobs for the machine's main thread, rung in through a device event.
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::function<void()>> jobs;  // guarded by mu
  bool serving = false;                    // guarded by mu: the main thread takes jobs
  bool ended = false;                      // guarded by mu: the run has returned
  bool quit = false;                       // main thread only
  KEVENT doorbell;

  std::vector<std::unique_ptr<sim::ConverterRig>> rigs;
  std::vector<std::unique_ptr<ExportedDevice>> devices;
  std::unique_ptr<sim::VpcdPresence> presence;
  std::mutex log_mu;  // one line at a time on stderr

  // From outside threads: runs job in the machine's main thread and waits for it. False when the
  // machine takes no more jobs.
  bool Run(std::function<void()> job) {
    auto done = std::make_shared<bool>(false);
    std::unique_lock lock(mu);
    if (!serving) return false;
    jobs.push_back([this, job = std::move(job), done] {
      job();
      std::lock_guard l(mu);
      *done = true;
      cv.notify_all();
    });
    kernel.ScheduleAfter(0, [this] { KeSetEvent(&doorbell, 0, FALSE); });
    return cv.wait_for(lock, kMachineAnswer, [&] { return *done || ended; }) && *done;
  }

  // From outside threads: runs fn in the interrupt context, where the devices live, and waits.
  bool Interrupt(std::function<void()> fn) {
    {
      std::lock_guard lock(mu);
      if (ended) return false;
    }
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    kernel.ScheduleAfter(0, [fn = std::move(fn), done] {
      fn();
      done->set_value();
    });
    return future.wait_for(kMachineAnswer) == std::future_status::ready;
  }

  // From outside threads: fn in the interrupt context, without waiting.
  void Post(std::function<void()> fn) { kernel.ScheduleAfter(0, std::move(fn)); }

  // In the machine's main thread: fn in the interrupt context, waited for.
  void InterruptFromMain(std::function<void()> fn) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    kernel.ScheduleAfter(0, [&] {
      fn();
      KeSetEvent(&done, 0, FALSE);
    });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }

  sim::ConverterRigOptions RigOptions(unsigned index) const {
    sim::ConverterRigOptions rig;
    rig.reader.reader = options.reader_profile.options;
    rig.reader.seed = options.seed;
    rig.reader.card.seed = options.seed;
    rig.reader.card.t0_only = options.card == UsbipCard::kT0Only;
    bool vicc_here = options.card == UsbipCard::kVicc && index == 0;
    rig.reader.insert_card = options.card != UsbipCard::kNone && !vicc_here;
    return rig;
  }

  void Body(std::promise<bool>& ready, bool& announced) {
    KeInitializeEvent(&doorbell, SynchronizationEvent, FALSE);
    for (unsigned i = 0; i < options.converters; ++i) {
      rigs.push_back(std::make_unique<sim::ConverterRig>(kernel, RigOptions(i)));
      sim::ConverterRig& rig = *rigs.back();
      sim::ApplyFaultScript(options.faults, rig.line(), rig.reader(), rig.card());
      devices.push_back(std::make_unique<ExportedDevice>(kernel, BusId(i), kBusNumber, i + 2));
      if (options.log) {
        devices.back()->SetLog([this](const std::string& line) {
          std::lock_guard lock(log_mu);
          std::fprintf(stderr, "zarq7-usbip: %s\n", line.c_str());
        });
      }
      InterruptFromMain([&] { devices.back()->Plug(&rig.device()); });
    }
    if (vicc) presence = std::make_unique<sim::VpcdPresence>(kernel, rigs[0]->reader(), vicc);
    {
      std::lock_guard lock(mu);
      serving = true;
    }
    announced = true;
    ready.set_value(true);
    while (!quit) {
      KeWaitForSingleObject(&doorbell, Executive, KernelMode, FALSE, nullptr);
      std::deque<std::function<void()>> now;
      {
        std::lock_guard lock(mu);
        now.swap(jobs);
      }
      for (auto& job : now) job();
    }
    {
      // Jobs handed in after the quit are not run; their callers are told once the run ends.
      std::lock_guard lock(mu);
      serving = false;
    }
    // The simulated hardware goes on the interrupt thread: an event of a rig (a line's transmit
    // done, say) that is due runs there too, so it either ran before or is cancelled, never
    // running into a rig being destroyed on this thread.
    InterruptFromMain([&] {
      presence.reset();
      for (auto& d : devices) d->Remove();
      rigs.clear();
    });
  }
};

// --- listening sockets ---------------------------------------------------------------------------

struct Service::Listener {
  using Handler = std::function<void(int fd)>;

  int fd = -1;
  std::thread thread;
  std::mutex mu;
  struct Worker {
    std::thread thread;
    bool done = false;  // guarded by mu
  };
  std::vector<int> open;      // guarded by mu: connections not yet closed
  std::list<Worker> workers;  // guarded by mu; ended ones are joined at the next connection
  bool stopping = false;      // guarded by mu

  bool Listen(const std::string& bind, uint16_t port, uint16_t* bound, std::string* error) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, bind.c_str(), &address.sin_addr) != 1) {
      *error = "not an IPv4 address: " + bind;
      return false;
    }
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 8) != 0) {
      *error = bind + ":" + std::to_string(port) + ": " + std::strerror(errno);
      ::close(fd);
      fd = -1;
      return false;
    }
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    *bound = ntohs(address.sin_port);
    return true;
  }

  void Start(Handler handler) {
    thread = std::thread([this, handler] {
      for (;;) {
        int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        std::lock_guard lock(mu);
        if (stopping) {
          if (c >= 0) ::close(c);
          return;
        }
        if (c < 0) {
          if (errno == EINTR || errno == ECONNABORTED) continue;
          return;
        }
        int one = 1;
        ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // A long-running server sees many short connections (every "usbip list"): the threads
        // of those that ended are joined here rather than kept to the end.
        for (auto w = workers.begin(); w != workers.end();) {
          if (!w->done) {
            ++w;
            continue;
          }
          w->thread.join();
          w = workers.erase(w);
        }
        open.push_back(c);
        Worker& worker = workers.emplace_back();
        worker.thread = std::thread([this, handler, c, &worker] {
          handler(c);
          std::lock_guard l(mu);
          std::erase(open, c);
          ::close(c);
          worker.done = true;
        });
      }
    });
  }

  void Stop() {
    {
      std::lock_guard lock(mu);
      stopping = true;
      if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
      for (int c : open) ::shutdown(c, SHUT_RDWR);
    }
    if (thread.joinable()) thread.join();
    for (auto& w : workers) w.thread.join();  // no new ones: the accepting thread has ended
    workers.clear();
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

// --- one USB/IP connection -----------------------------------------------------------------------

class Service::Connection final : public UrbSink {
 public:
  Connection(Machine& machine, int fd) : machine_(machine), fd_(fd) {}

  void Serve() {
    uint8_t common[kOpCommonSize];
    if (!ReadExactly(fd_, common, sizeof common) || GetU16(common) != kVersion) return;
    uint16_t code = GetU16(common + 2);
    if (code == kOpReqDevlist) {
      SendDevlist();
    } else if (code == kOpReqImport) {
      uint8_t busid[kBusIdSize];
      if (!ReadExactly(fd_, busid, sizeof busid)) return;
      busid[kBusIdSize - 1] = 0;
      std::string wanted(reinterpret_cast<char*>(busid));
      if (Import(wanted)) ServeUrbs();
    }
  }

  // --- UrbSink, from the interrupt context ---
  void Send(std::vector<uint8_t> message) override {
    std::lock_guard lock(mu_);
    if (closing_) return;
    out_.push_back(std::move(message));
    cv_.notify_all();
  }
  void Close() override {
    std::lock_guard lock(mu_);
    closing_ = true;
    cv_.notify_all();
  }

 private:
  void SendDevlist() {
    std::vector<DeviceRecord> records;
    for (auto& d : machine_.devices) {
      if (auto r = d->Record()) records.push_back(*r);
    }
    std::vector<uint8_t> out = OpCommon(kOpRepDevlist, kOpStatusOk);
    PutU32(out, uint32_t(records.size()));
    for (const DeviceRecord& r : records) {
      std::vector<uint8_t> bytes = r.Encode(true);
      out.insert(out.end(), bytes.begin(), bytes.end());
    }
    WriteAll(fd_, out.data(), out.size());
  }

  bool Import(const std::string& busid) {
    for (auto& d : machine_.devices) {
      if (d->busid() == busid) device_ = d.get();
    }
    // A client that detaches and attaches again may be back before its old connection's end
    // has been seen here: a device still held is waited for a little before it is refused.
    auto result = ExportedDevice::ImportResult::kAbsent;
    auto deadline = std::chrono::steady_clock::now() + kImportWait;
    while (device_) {
      machine_.Interrupt([&] { result = device_->Import(this); });
      if (result != ExportedDevice::ImportResult::kBusy ||
          std::chrono::steady_clock::now() >= deadline) {
        break;
      }
      std::this_thread::sleep_for(kImportRetry);
    }
    bool imported = result == ExportedDevice::ImportResult::kImported;
    std::optional<DeviceRecord> record = imported ? device_->Record() : std::nullopt;
    std::vector<uint8_t> out = OpCommon(kOpRepImport, record ? kOpStatusOk : kOpStatusError);
    if (record) {
      devid_ = record->devid();
      std::vector<uint8_t> bytes = record->Encode(false);
      out.insert(out.end(), bytes.begin(), bytes.end());
    } else if (imported) {
      machine_.Interrupt([&] { device_->Release(this); });
    }
    return WriteAll(fd_, out.data(), out.size()) && record;
  }

  // Reads CMD_SUBMIT and CMD_UNLINK until the client goes, the device goes, or a message makes
  // no sense (the stream is out of step then, and nothing after it can be trusted).
  void ServeUrbs() {
    std::thread writer([this] { WriteAnswers(); });
    for (;;) {
      uint8_t bytes[kHeaderSize];
      if (!ReadExactly(fd_, bytes, sizeof bytes)) break;
      UrbHeader h = UrbHeader::Decode(bytes);
      bool sane = h.devid == devid_ && h.ep <= kMaxEndpointNumber &&
                  (h.direction == kDirectionIn || h.direction == kDirectionOut);
      if (!sane) break;
      if (h.command == kCmdSubmit) {
        if (h.transfer_buffer_length() > kMaxTransfer ||
            (h.number_of_packets() != 0 && h.number_of_packets() != kNotIsochronous)) {
          break;  // no isochronous endpoints here
        }
        std::vector<uint8_t> data;
        if (h.direction == kDirectionOut) {
          data.resize(h.transfer_buffer_length());
          if (!ReadExactly(fd_, data.data(), data.size())) break;
        }
        ExportedDevice* device = device_;
        machine_.Post([this, device, h, data = std::move(data)]() mutable {
          device->Submit(this, h, std::move(data));
        });
      } else if (h.command == kCmdUnlink) {
        ExportedDevice* device = device_;
        machine_.Post([this, device, h] { device->Unlink(this, h); });
      } else {
        break;
      }
    }
    // Nothing of the device refers to this connection once the release has run.
    machine_.Interrupt([this] { device_->Release(this); });
    Close();
    writer.join();
    ::shutdown(fd_, SHUT_RDWR);
  }

  void WriteAnswers() {
    for (;;) {
      std::vector<uint8_t> message;
      {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [&] { return !out_.empty() || closing_; });
        if (out_.empty()) break;
        message = std::move(out_.front());
        out_.pop_front();
      }
      if (!WriteAll(fd_, message.data(), message.size())) break;
    }
    // The device went or the client did: the reader sees the stream end.
    ::shutdown(fd_, SHUT_RDWR);
  }

  Machine& machine_;
  int fd_;
  ExportedDevice* device_ = nullptr;
  uint32_t devid_ = 0;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::vector<uint8_t>> out_;  // guarded by mu_
  bool closing_ = false;                  // guarded by mu_
};

// --- the service -------------------------------------------------------------------------------

Service::Service(ServiceOptions options) : options_(std::move(options)) {}

Service::~Service() { Stop(); }

bool Service::Start(std::string* error) {
  if (options_.converters < 1 || options_.converters > kMaxExported) {
    *error = "from 1 to " + std::to_string(kMaxExported) + " converters";
    return false;
  }
  machine_ = std::make_unique<Machine>(options_);
  if (options_.card == UsbipCard::kVicc) {
    std::string why;
    machine_->vicc = sim::VpcdBridge::Listen(options_.vicc_port, &why);
    if (!machine_->vicc) {
      *error = "no vicc port 127.0.0.1:" + std::to_string(options_.vicc_port) + ": " + why;
      return false;
    }
    vicc_port_ = machine_->vicc->port();
  }
  usbip_ = std::make_unique<Listener>();
  if (!usbip_->Listen(options_.bind, options_.port, &port_, error)) return false;
  if (options_.control_port) {
    control_ = std::make_unique<Listener>();
    if (!control_->Listen(options_.bind, *options_.control_port, &control_port_, error)) {
      return false;
    }
  }

  auto ready = std::make_shared<std::promise<bool>>();
  std::future<bool> up = ready->get_future();
  Machine* m = machine_.get();
  m->thread = std::thread([m, ready] {
    bool announced = false;
    m->result = m->kernel.Run([&] { m->Body(*ready, announced); });
    {
      std::lock_guard lock(m->mu);
      m->serving = false;
      m->ended = true;
      m->cv.notify_all();
    }
    if (!announced) ready->set_value(false);
  });
  if (!up.get()) {
    m->thread.join();
    *error = "the machine stopped: " + m->result.report;
    machine_.reset();
    return false;
  }

  usbip_->Start([m](int fd) { Connection(*m, fd).Serve(); });
  if (control_) {
    control_->Start([this](int fd) {
      std::string pending;
      char buffer[256];
      for (;;) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        pending.append(buffer, size_t(n));
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
          std::string line = pending.substr(0, end);
          pending.erase(0, end + 1);
          // A quit is answered before the service starts closing this connection.
          bool quit = IsQuit(line);
          std::string answer = (quit ? std::string("ok") : Command(line)) + "\n";
          bool sent = WriteAll(fd, reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
          if (quit) RequestQuit();
          if (!sent) return;
        }
      }
    });
  }
  return true;
}

std::string Service::Command(const std::string& line) {
  std::vector<std::string> words = Words(line);
  if (words.empty()) return "error: an empty command";
  if (IsQuit(line)) {
    RequestQuit();
    return "ok";
  }
  if (!machine_) return "error: not serving";
  Machine& m = *machine_;
  if (words == std::vector<std::string>{"status"}) {
    std::string answer = "ok:";
    for (auto& d : m.devices)
      answer += " " + d->busid() + (d->Record() ? " plugged" : " unplugged");
    return answer;
  }
  bool card = words.size() == 3 && words[0] == "card" && (words[1] == "in" || words[1] == "out");
  bool plug = words.size() == 2 && (words[0] == "plug" || words[0] == "unplug");
  if (!card && !plug) {
    return "error: unknown command (card in|out BUSID, plug|unplug BUSID, status, quit)";
  }
  const std::string& busid = words.back();
  size_t index = 0;
  while (index < m.devices.size() && m.devices[index]->busid() != busid) ++index;
  if (index == m.devices.size()) return "error: no device " + busid;
  ExportedDevice& device = *m.devices[index];
  std::string answer = "ok";
  bool ran = false;
  if (card) {
    if (options_.card == UsbipCard::kVicc && index == 0) {
      return "error: " + busid + " holds the vicc card, which comes and goes with the emulator";
    }
    bool in_wanted = words[1] == "in";
    ran = m.Run([&] {
      sim::Reader& reader = m.rigs[index]->reader();
      if (reader.card_present() == in_wanted) {
        answer = "error: " + busid + (in_wanted ? " has a card already" : " has no card");
      } else if (in_wanted) {
        sim::BuiltinCardOptions card_options;
        card_options.seed = options_.seed;
        card_options.t0_only = options_.card == UsbipCard::kT0Only;
        reader.InsertCard(std::make_shared<sim::BuiltinCard>(card_options));
      } else {
        reader.RemoveCard();
      }
    });
  } else {
    bool wanted = words[0] == "plug";
    sim::ConverterRig& rig = *m.rigs[index];
    ran = m.Interrupt([&] {
      if (device.plugged() == wanted) {
        answer = "error: " + busid + (wanted ? " is plugged in already" : " is not plugged in");
      } else if (wanted) {
        device.Plug(&rig.device());
      } else {
        rig.converter().Unplug();
      }
    });
  }
  return ran ? answer : "error: the machine has stopped";
}

void Service::WaitUntilQuit() {
  std::unique_lock lock(quit_mu_);
  quit_cv_.wait(lock, [&] { return quit_; });
}

void Service::RequestQuit() {
  std::lock_guard lock(quit_mu_);
  quit_ = true;
  quit_cv_.notify_all();
}

void Service::Stop() {
  {
    std::lock_guard lock(quit_mu_);
    if (stopped_) return;
    stopped_ = true;
    quit_ = true;
    quit_cv_.notify_all();
  }
  if (control_) control_->Stop();
  if (usbip_) usbip_->Stop();
  if (machine_ && machine_->thread.joinable()) {
    machine_->Run([m = machine_.get()] { m->quit = true; });
    machine_->thread.join();
  }
}

std::string Service::machine_report() const {
  if (!machine_ || machine_->thread.joinable() || machine_->result.ok()) return {};
  return machine_->result.report;
}

}  // namespace tools::usbip
