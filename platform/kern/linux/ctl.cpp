// Control on Linux: a SOCK_SEQPACKET socket in the run folder. Each client passes the option
// channel with its hello; one thread per client serves its options and notices its end.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Backend.h"
#include "platform/kctl/wire.h"
#include "platform/kern/kern.h"
#include "platform/kern/linux.h"

namespace platform::kern {

namespace wire = platform::kctl::wire;

namespace {

struct ClientConn {
  int record_fd = -1;
  int option_fd = -1;
  uint32_t unit = 0;
  void* unitinfo = nullptr;
  bool done = false;
  std::thread thread;
};

linux_backend::ControlConfig g_config{"/run/tamsel", 0};
bool g_configured = false;
std::atomic<linux_backend::OptionHook> g_option_hook{nullptr};
std::atomic<linux_backend::DisconnectHook> g_disconnect_hook{nullptr};
// While the host starts, controls listen under their private name and appear under their own
// name only once it says the start is over: a client that finds one finds a filter at work.
std::mutex g_publish_m;
bool g_defer_publish = false;
std::vector<ctl_opaque*> g_unpublished;
// Controls that exist: a batch of records written later finds its control here or drops it.
std::mutex g_live_m;
std::vector<ctl_opaque*> g_live;

// Records held by a thread between record_batch_begin() and record_batch_end(), in order.
struct HeldRecord {
  ctl_opaque* ctl;
  uint32_t unit;
  size_t offset;
  size_t length;
};
struct RecordBatch {
  int depth = 0;
  bool lingers = false;                         // the thread asks record_batch_wait for its waits
  std::chrono::steady_clock::time_point first;  // when the oldest held record was made
  std::vector<HeldRecord> records;
  std::vector<uint8_t> bytes;
  // Held by the thread while it adds or writes, and by a record written alone on any thread,
  // which first writes what every lingering thread still holds.
  std::mutex m;
  ~RecordBatch();
};
constexpr auto kRecordLinger = std::chrono::milliseconds(2);
constexpr size_t kHeldRecords = 64;
constexpr size_t kHeldBytes = 128 * 1024;
thread_local RecordBatch t_batch;

// The batches that may hold records past their end. Never destroyed: threads may end after the
// static objects are gone.
struct Lingering {
  std::mutex m;
  std::vector<RecordBatch*> batches;
};
Lingering& lingering() {
  static auto* l = new Lingering;
  return *l;
}

void log_line(const char* fmt, const char* a = "", int b = 0) {
  char text[512];
  char line[600];
  std::snprintf(text, sizeof text, fmt, a, b);
  std::snprintf(line, sizeof line, "kctl %s\n", text);
  kern_log_line(line);
}

}  // namespace

struct ctl_opaque {
  kern_ctl_reg reg;
  std::string name;
  std::string path;
  int listen_fd = -1;
  int wake_fd = -1;
  std::thread acceptor;
  std::mutex m;
  std::list<std::unique_ptr<ClientConn>> clients;  // accepted ones
  uint32_t next_unit = 1;
  std::string listening_at;  // the staging name until published, then the path
};

namespace {

// The descriptors a message brought, whatever its length (an empty message can carry some).
std::vector<int> received_fds(msghdr& msg) {
  std::vector<int> fds;
  if (msg.msg_controllen < sizeof(cmsghdr)) return fds;
  for (cmsghdr* h = CMSG_FIRSTHDR(&msg); h; h = CMSG_NXTHDR(&msg, h)) {
    if (h->cmsg_level != SOL_SOCKET || h->cmsg_type != SCM_RIGHTS || h->cmsg_len < CMSG_LEN(0))
      continue;
    size_t count = (h->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int f;
      std::memcpy(&f, CMSG_DATA(h) + i * sizeof(int), sizeof f);
      fds.push_back(f);
    }
  }
  return fds;
}

void send_reply(int fd, int32_t result, uint32_t unit) {
  wire::HelloReply r{result, unit};
  ::send(fd, &r, sizeof r, MSG_NOSIGNAL | MSG_DONTWAIT);
}

void serve_client(ctl_opaque* ctl, ClientConn* c) {
  std::vector<uint8_t> buf(sizeof(wire::OptionRequest) + wire::kMaxOptionLen + 1);
  std::vector<uint8_t> out(sizeof(wire::OptionReply) + wire::kMaxOptionLen);
  for (;;) {
    pollfd p[3] = {{c->option_fd, POLLIN | POLLRDHUP, 0},
                   {c->record_fd, POLLRDHUP, 0},
                   {ctl->wake_fd, POLLIN, 0}};
    if (::poll(p, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    // Only a hang-up of either channel ends the session. (recvmsg answers 0 both for an empty
    // message and at the end, so the end is taken from poll.)
    if (p[1].revents & (POLLRDHUP | POLLHUP | POLLERR)) break;
    if (p[0].revents & (POLLRDHUP | POLLHUP | POLLERR)) break;
    if (p[2].revents & POLLIN) {
      // Stop asked while this client is still attached: only at deregister, which refuses
      // then; keep serving.
    }
    if (!(p[0].revents & POLLIN)) continue;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)];
    iovec iov{buf.data(), buf.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(c->option_fd, &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) break;
    // Descriptors have no place in a request: close any that came (also with an empty one).
    for (int fd : received_fds(msg)) ::close(fd);
    wire::OptionRequest req;
    const uint8_t* payload = nullptr;
    wire::OptionReply rep{0, 0};
    size_t out_len = 0;
    if ((msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) ||
        wire::parse_request(buf.data(), static_cast<size_t>(n), &req, &payload) != 0) {
      rep.err = EPROTO;
    } else if (req.level != wire::kLevel) {
      rep.err = ENOPROTOOPT;
    } else if (req.op == wire::kOpSet) {
      if (auto hook = g_option_hook.load()) hook(req.name);
      rep.err = ctl->reg.ctl_setopt ? ctl->reg.ctl_setopt(ctl, c->unit, c->unitinfo, req.name,
                                                          req.len ? payload : nullptr, req.len)
                                    : ENOPROTOOPT;
    } else {
      uint8_t* data = out.data() + sizeof rep;
      if (req.len) std::memcpy(data, payload, req.len);
      size_t len = req.len;
      rep.err = ctl->reg.ctl_getopt ? ctl->reg.ctl_getopt(ctl, c->unit, c->unitinfo, req.name,
                                                          len ? data : nullptr, &len)
                                    : ENOPROTOOPT;
      if (rep.err == 0 && len <= req.len) out_len = len;
    }
    rep.len = static_cast<uint32_t>(out_len);
    std::memcpy(out.data(), &rep, sizeof rep);
    ::send(c->option_fd, out.data(), sizeof rep + out_len, MSG_NOSIGNAL);
  }
  // Either channel ended: the client is gone.
  if (ctl->reg.ctl_disconnect) ctl->reg.ctl_disconnect(ctl, c->unit, c->unitinfo);
  if (auto hook = g_disconnect_hook.load()) hook();
  std::lock_guard g(ctl->m);
  ::close(c->record_fd);
  ::close(c->option_fd);
  c->record_fd = c->option_fd = -1;
  c->done = true;
}

// Joins the threads of clients that have left.
void reap(ctl_opaque* ctl) {
  std::list<std::unique_ptr<ClientConn>> gone;
  {
    std::lock_guard g(ctl->m);
    for (auto it = ctl->clients.begin(); it != ctl->clients.end();) {
      if ((*it)->done) {
        gone.push_back(std::move(*it));
        it = ctl->clients.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& c : gone)
    if (c->thread.joinable()) c->thread.join();
}

// Reads the hello that a readable connection brought and attaches or refuses it. False when
// nothing has come yet after all (the connection stays waiting); every refusal closes the
// connection and every descriptor the hello brought.
bool handle_hello(ctl_opaque* ctl, int fd) {
  uint8_t buf[sizeof(wire::Hello) + 1];
  iovec iov{buf, sizeof buf};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)];
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
  std::vector<int> fds;
  if (n >= 0) fds = received_fds(msg);
  auto drop = [&](int32_t err) {
    if (fds.size() == 1) send_reply(fds[0], err, 0);
    for (int f : fds) ::close(f);
    ::close(fd);
    return true;
  };
  wire::Hello hello;
  if (n <= 0 || (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) ||
      wire::parse_hello(buf, static_cast<size_t>(n), static_cast<int>(fds.size()), &hello) != 0) {
    log_line("bad hello refused%s", "");
    return drop(EPROTO);
  }
  // The option channel must be a socket of the same kind.
  int type = 0;
  socklen_t tl = sizeof type;
  if (::getsockopt(fds[0], SOL_SOCKET, SO_TYPE, &type, &tl) != 0 || type != SOCK_SEQPACKET) {
    log_line("bad option channel refused%s", "");
    return drop(EPROTO);
  }
  ucred cred{};
  socklen_t cl = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &cl) != 0 ||
      (cred.uid != 0 && cred.uid != g_config.allow_uid)) {
    log_line("peer uid %s%d refused", "", static_cast<int>(cred.uid));
    return drop(EACCES);
  }
  if (hello.flags & wire::kHelloProbe) return drop(0);

  sockaddr_ctl sac{};
  {
    std::lock_guard g(ctl->m);
    sac.sc_unit = ctl->next_unit++;
  }
  void* info = nullptr;
  errno_t r = ctl->reg.ctl_connect ? ctl->reg.ctl_connect(ctl, &sac, &info) : 0;
  if (r != 0) return drop(r);
  auto c = std::make_unique<ClientConn>();
  c->record_fd = fd;
  c->option_fd = fds[0];
  c->unit = sac.sc_unit;
  c->unitinfo = info;
  ClientConn* raw = c.get();
  {
    std::lock_guard g(ctl->m);
    ctl->clients.push_back(std::move(c));
    send_reply(raw->option_fd, 0, raw->unit);
    raw->thread = std::thread(serve_client, ctl, raw);
  }
  return true;
}

using Clock = std::chrono::steady_clock;

// Connections accepted whose hello has not come yet. All are read from one poll set, each
// within its own deadline from its accept, so a silent peer delays nobody.
struct WaitingHello {
  int fd;
  Clock::time_point deadline;
};
constexpr auto kHelloDeadline = std::chrono::seconds(2);
constexpr size_t kMaxWaitingHellos = 64;

void accept_loop(ctl_opaque* ctl) {
  std::vector<WaitingHello> waiting;
  std::vector<pollfd> p;
  for (;;) {
    p.clear();
    p.push_back({ctl->listen_fd, POLLIN, 0});
    p.push_back({ctl->wake_fd, POLLIN, 0});
    for (const auto& w : waiting) p.push_back({w.fd, POLLIN, 0});
    // Reaping the threads of clients that left needs no hurry: once a second.
    auto now = Clock::now();
    auto next = now + std::chrono::seconds(1);
    for (const auto& w : waiting) next = std::min(next, w.deadline);
    int timeout = static_cast<int>(
        std::chrono::ceil<std::chrono::milliseconds>(std::max(next - now, Clock::duration(0)))
            .count());
    if (::poll(p.data(), p.size(), timeout) < 0 && errno != EINTR) break;
    if (p[1].revents & POLLIN) break;
    reap(ctl);
    now = Clock::now();
    std::vector<WaitingHello> still;
    for (size_t i = 0; i < waiting.size(); ++i) {
      const WaitingHello& w = waiting[i];
      if (p[2 + i].revents && handle_hello(ctl, w.fd)) continue;
      if (now >= w.deadline) {
        log_line("silent peer closed%s", "");
        ::close(w.fd);
        continue;
      }
      still.push_back(w);
    }
    waiting.swap(still);
    if (!(p[0].revents & POLLIN)) continue;
    int fd = ::accept4(ctl->listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    // A crowd of silent peers loses its oldest member, never the newcomer.
    if (waiting.size() >= kMaxWaitingHellos) {
      ::close(waiting.front().fd);
      waiting.erase(waiting.begin());
    }
    waiting.push_back({fd, Clock::now() + kHelloDeadline});
  }
  for (const auto& w : waiting) ::close(w.fd);
}

}  // namespace

namespace linux_backend {
void set_option_hook(OptionHook hook) { g_option_hook.store(hook); }
void set_disconnect_hook(DisconnectHook hook) { g_disconnect_hook.store(hook); }

void defer_control_publishing() {
  std::lock_guard g(g_publish_m);
  g_defer_publish = true;
}

int publish_controls() {
  std::lock_guard g(g_publish_m);
  g_defer_publish = false;
  int result = 0;
  for (ctl_opaque* ctl : g_unpublished) {
    if (::rename(ctl->listening_at.c_str(), ctl->path.c_str()) != 0) {
      if (!result) result = errno;
      continue;
    }
    ctl->listening_at = ctl->path;
  }
  g_unpublished.clear();
  return result;
}

void configure_control(const ControlConfig& config) {
  g_config = config;
  g_configured = true;
}
}  // namespace linux_backend

errno_t ctl_register(const kern_ctl_reg* reg, kern_ctl_ref* ref) {
  if (!g_configured) g_config.allow_uid = ::geteuid();
  auto ctl = std::make_unique<ctl_opaque>();
  ctl->reg = *reg;
  ctl->name = reg->ctl_name ? reg->ctl_name : "";
  ctl->reg.ctl_name = ctl->name.c_str();
  ctl->path = wire::socket_path(g_config.run_dir, ctl->name);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  // Bound and listening under a private name first, then renamed into place: a client that
  // finds the socket file can always connect (no window between bind and listen).
  const std::string staging = ctl->path + ".new";
  if (staging.size() >= sizeof addr.sun_path) return ENAMETOOLONG;
  std::memcpy(addr.sun_path, staging.c_str(), staging.size() + 1);
  ctl->listen_fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (ctl->listen_fd < 0) return errno;
  ::unlink(staging.c_str());
  // Created private; then handed to the one user allowed besides root.
  mode_t old = ::umask(0177);
  int rc = ::bind(ctl->listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::umask(old);
  errno_t e = errno;
  std::unique_lock publishing(g_publish_m);
  if (rc != 0 || ::chmod(staging.c_str(), 0600) != 0 ||
      (::geteuid() == 0 && ::chown(staging.c_str(), g_config.allow_uid, (gid_t)-1) != 0) ||
      ::listen(ctl->listen_fd, 16) != 0 ||
      (!g_defer_publish && ::rename(staging.c_str(), ctl->path.c_str()) != 0)) {
    if (rc == 0) e = errno;
    ::close(ctl->listen_fd);
    if (rc == 0) ::unlink(staging.c_str());
    return e ? e : EIO;
  }
  ctl->listening_at = g_defer_publish ? staging : ctl->path;
  if (g_defer_publish) g_unpublished.push_back(ctl.get());
  publishing.unlock();
  ctl->wake_fd = ::eventfd(0, EFD_CLOEXEC);
  if (ctl->wake_fd < 0) {
    e = errno;
    {
      std::lock_guard g(g_publish_m);
      std::erase(g_unpublished, ctl.get());
    }
    ::close(ctl->listen_fd);
    ::unlink(ctl->listening_at.c_str());
    return e;
  }
  ctl->acceptor = std::thread(accept_loop, ctl.get());
  {
    std::lock_guard g(g_live_m);
    g_live.push_back(ctl.get());
  }
  *ref = ctl.release();
  return 0;
}

errno_t ctl_deregister(kern_ctl_ref ctl) {
  if (!ctl) return EINVAL;
  {
    // Records still held for it are dropped from now on.
    std::lock_guard g(g_live_m);
    std::erase(g_live, ctl);
  }
  // A client that has just hung up is let go on its own thread a moment later: a stop that
  // follows its close at once (the app closes, then unloads) must not be refused for it.
  for (int i = 0;; ++i) {
    reap(ctl);
    {
      std::lock_guard g(ctl->m);
      if (ctl->clients.empty()) break;
      if (i == 50) return EBUSY;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  uint64_t one = 1;
  if (::write(ctl->wake_fd, &one, sizeof one) < 0) return errno;
  ctl->acceptor.join();
  ::close(ctl->listen_fd);
  {
    std::lock_guard g(g_publish_m);
    std::erase(g_unpublished, ctl);
    ::unlink(ctl->listening_at.c_str());
  }
  // A client accepted while stopping: the control is gone, so it is ended here.
  reap(ctl);
  for (auto& c : ctl->clients) {
    if (c->record_fd >= 0) ::shutdown(c->record_fd, SHUT_RDWR);
    if (c->thread.joinable()) c->thread.join();
  }
  ::close(ctl->wake_fd);
  delete ctl;
  return 0;
}

namespace {

// Writes the held records, each one message as when sent alone, with one sendmmsg per run of the
// same client. A full receive queue loses the rest of its run, as it loses a single record.
void flush_batch(RecordBatch& b) {
  if (b.records.empty()) return;
  constexpr size_t kMax = kHeldRecords;
  mmsghdr msgs[kMax];
  iovec iov[kMax];
  std::lock_guard live(g_live_m);
  for (size_t i = 0; i < b.records.size();) {
    const HeldRecord& first = b.records[i];
    size_t n = 0;
    while (i + n < b.records.size() && n < kMax && b.records[i + n].ctl == first.ctl &&
           b.records[i + n].unit == first.unit) {
      const HeldRecord& r = b.records[i + n];
      iov[n] = {b.bytes.data() + r.offset, r.length};
      msgs[n] = {};
      msgs[n].msg_hdr.msg_iov = &iov[n];
      msgs[n].msg_hdr.msg_iovlen = 1;
      ++n;
    }
    i += n;
    if (std::find(g_live.begin(), g_live.end(), first.ctl) == g_live.end()) continue;
    std::lock_guard g(first.ctl->m);
    for (auto& c : first.ctl->clients) {
      if (c->unit != first.unit || c->record_fd < 0) continue;
      for (size_t sent = 0; sent < n;) {
        int r = ::sendmmsg(c->record_fd, msgs + sent, static_cast<unsigned>(n - sent),
                           MSG_DONTWAIT | MSG_NOSIGNAL);
        if (r <= 0) break;
        sent += static_cast<size_t>(r);
      }
      break;
    }
  }
  b.records.clear();
  b.bytes.clear();
}

// Writes what this thread and every lingering thread hold, so that a record written alone comes
// after every record made before it: a socket's end after its last packets, say.
void flush_held() {
  {
    std::lock_guard own(t_batch.m);
    flush_batch(t_batch);
  }
  Lingering& l = lingering();
  std::lock_guard g(l.m);
  for (RecordBatch* b : l.batches) {
    if (b == &t_batch) continue;
    std::lock_guard held(b->m);
    flush_batch(*b);
  }
}

}  // namespace

RecordBatch::~RecordBatch() {
  if (lingers) {
    Lingering& l = lingering();
    std::lock_guard g(l.m);
    std::erase(l.batches, this);
  }
  std::lock_guard g(m);
  flush_batch(*this);
}

namespace linux_backend {

void record_batch_begin() { ++t_batch.depth; }

void record_batch_end() {
  RecordBatch& b = t_batch;
  if (b.depth == 0 || --b.depth > 0) return;
  std::lock_guard g(b.m);
  if (b.records.empty()) return;
  if (!b.lingers || std::chrono::steady_clock::now() - b.first >= kRecordLinger) flush_batch(b);
}

int record_batch_wait(bool flush) {
  RecordBatch& b = t_batch;
  if (!b.lingers) {
    Lingering& l = lingering();
    std::lock_guard g(l.m);
    l.batches.push_back(&b);
    b.lingers = true;
  }
  std::lock_guard g(b.m);
  if (b.records.empty()) return -1;
  auto left = kRecordLinger - (std::chrono::steady_clock::now() - b.first);
  if (flush || left <= std::chrono::steady_clock::duration::zero()) {
    flush_batch(b);
    return -1;
  }
  // Rounded up: a wait that ends early only costs one more turn.
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

}  // namespace linux_backend

errno_t ctl_enqueuedata(kern_ctl_ref ctl, uint32_t unit, const void* data, size_t len, int) {
  RecordBatch& b = t_batch;
  if (b.depth > 0 && len <= kHeldBytes) {
    std::lock_guard held(b.m);
    if (b.records.size() >= kHeldRecords || b.bytes.size() + len > kHeldBytes) flush_batch(b);
    if (b.bytes.capacity() < kHeldBytes) b.bytes.reserve(kHeldBytes);
    if (b.records.empty()) b.first = std::chrono::steady_clock::now();
    size_t at = b.bytes.size();
    const auto* p = static_cast<const uint8_t*>(data);
    b.bytes.insert(b.bytes.end(), p, p + len);
    b.records.push_back({ctl, unit, at, len});
    return 0;
  }
  flush_held();
  std::lock_guard g(ctl->m);
  for (auto& c : ctl->clients) {
    if (c->unit != unit || c->record_fd < 0) continue;
    ssize_t n = ::send(c->record_fd, data, len, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n == static_cast<ssize_t>(len)) return 0;
    return (errno == EAGAIN || errno == ENOBUFS) ? ENOBUFS : errno;
  }
  return EINVAL;
}

}  // namespace platform::kern
