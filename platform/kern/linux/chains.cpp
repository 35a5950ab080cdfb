// The filter's iptables chains: the output chain (mangle, after connection tracking, so that a
// redirected query's first tuple is tracked), the input chain (raw, before it, so that a
// restored answer matches that tuple) and the accepting chain (filter: injected answers are
// untracked, which a stateful host firewall would drop). Loaded and removed in one
// iptables-restore run each; the jumps into the output and input chains exist only while the
// master switch is on.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "Backend.h"
#include "platform/kern/kern.h"

namespace platform::kern::linux_backend {

namespace {

constexpr const char* kTools[] = {"/usr/sbin/iptables-restore", "/sbin/iptables-restore"};
constexpr const char* kSaveTools[] = {"/usr/sbin/iptables-save", "/sbin/iptables-save"};

struct ChainPlace {
  const char* table;
  const char* hook;
  const char* chain;
};
constexpr ChainPlace kPlaces[] = {{"mangle", "OUTPUT", "TAMSEL_OUT"},
                                  {"raw", "PREROUTING", "TAMSEL_IN"},
                                  {"filter", "INPUT", "TAMSEL_ACCEPT"}};
// The places whose jump follows the master switch.
constexpr size_t kSwitchedPlaces = 2;
std::mutex g_jumps_m;
bool g_jumps_on = false;  // as far as we added them

const char* first_existing(const char* const* tools, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (::access(tools[i], X_OK) == 0) return tools[i];
  return nullptr;
}

// Runs `tool args` with `input` on its standard input; returns its exit status or -1, and its
// standard output in *output when asked.
int run_tool(const char* tool, std::vector<const char*> args, const std::string& input,
             std::string* output) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return -1;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return -1;
  }
  args.insert(args.begin(), tool);
  args.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    int devnull = ::open("/dev/null", O_WRONLY);
    if (devnull >= 0 && !output) ::dup2(devnull, 1);
    char* const env[] = {const_cast<char*>("PATH=/usr/sbin:/usr/bin:/sbin:/bin"), nullptr};
    ::execve(tool, const_cast<char* const*>(args.data()), env);
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  if (pid < 0) {
    ::close(in[1]);
    ::close(out[0]);
    return -1;
  }
  // The inputs are a few hundred bytes: far below a pipe's capacity, so writing first is safe.
  size_t off = 0;
  while (off < input.size()) {
    ssize_t n = ::write(in[1], input.data() + off, input.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    off += static_cast<size_t>(n);
  }
  ::close(in[1]);
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (output) output->append(buf, static_cast<size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void log_line(const std::string& text) { kern_log_line(("tamseld " + text + "\n").c_str()); }

}  // namespace

std::string chains_install_text() {
  const std::string q = " -j NFQUEUE --queue-bypass --queue-num ";
  const std::string out = q + std::to_string(kOutputQueue);
  const std::string in = q + std::to_string(kInputQueue);
  char mark[64];
  std::snprintf(mark, sizeof mark, "-m mark --mark 0x%08x/0x%08x", kServerSocketMark,
                kServerSocketMarkMask);
  char bit[16];
  std::snprintf(bit, sizeof bit, "0x%08x", kLeftOutMark);
  const std::string left = std::string(bit) + "/" + bit;
  std::ostringstream s;
  // A flow's first packet comes back from the queue with the left-out mark when its socket is
  // none of the filter's: the mark moves to its connection, whose later packets pass at once
  // (queries to resolvers excepted: the filter looks at every one).
  s << "*mangle\n"
    << ":TAMSEL_OUT - [0:0]\n"
    << "-A TAMSEL_OUT -m mark --mark " << left << " -j CONNMARK --set-xmark " << left << "\n"
    << "-A TAMSEL_OUT -m mark --mark " << left << " -j MARK --set-xmark 0x0/" << bit << "\n"
    << "-A TAMSEL_OUT " << mark << " -j RETURN\n"
    << "-A TAMSEL_OUT -d 127.0.0.0/8 -j RETURN\n"
    << "-A TAMSEL_OUT -p udp -m udp --dport 53" << out << "\n"
    << "-A TAMSEL_OUT -m connmark --mark " << left << " -j RETURN\n"
    << "-A TAMSEL_OUT -d 10.0.0.0/8 -j RETURN\n"
    << "-A TAMSEL_OUT -d 172.16.0.0/12 -j RETURN\n"
    << "-A TAMSEL_OUT -d 192.168.0.0/16 -j RETURN\n"
    << "-A TAMSEL_OUT -d 255.255.255.255/32 -j RETURN\n"
    << "-A TAMSEL_OUT -p tcp" << out << "\n"
    << "-A TAMSEL_OUT -p udp" << out << "\n"
    << "-A TAMSEL_OUT -p icmp -m icmp --icmp-type 8" << out << "\n"
    << "COMMIT\n"
    << "*raw\n"
    << ":TAMSEL_IN - [0:0]\n"
    << "-A TAMSEL_IN -i " << kInjectDevice << " -j CT --notrack\n"
    << "-A TAMSEL_IN -p udp -m udp --sport 53" << in << "\n"
    << "COMMIT\n"
    << "*filter\n"
    << ":TAMSEL_ACCEPT - [0:0]\n"
    << "-I INPUT 1 -j TAMSEL_ACCEPT\n"
    << "-A TAMSEL_ACCEPT -i " << kInjectDevice << " -j ACCEPT\n"
    << "COMMIT\n";
  return s.str();
}

std::string chains_jumps_text() {
  std::string text;
  for (size_t i = 0; i < kSwitchedPlaces; ++i)
    text += std::string("*") + kPlaces[i].table + "\n-I " + kPlaces[i].hook + " 1 -j " +
            kPlaces[i].chain + "\nCOMMIT\n";
  return text;
}

namespace {

// Deletions of our jumps (of the switched places only, with `jumps_only`) and chains.
std::string removal_text(const std::string& save_output, bool jumps_only) {
  std::string table;
  std::string result;
  std::string jumps, chains;  // this table's deletions: jumps first, -X needs an unused chain
  auto end_table = [&] {
    if (!jumps.empty() || !chains.empty())
      result += "*" + table + "\n" + jumps + chains + "COMMIT\n";
    jumps.clear();
    chains.clear();
  };
  std::istringstream in(save_output);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '*') {
      end_table();
      table = line.substr(1);
      continue;
    }
    for (size_t i = 0; i < (jumps_only ? kSwitchedPlaces : std::size(kPlaces)); ++i) {
      const ChainPlace& p = kPlaces[i];
      if (table != p.table) continue;
      // Every jump into our chain from its hook, however many a crash left behind.
      if (line == std::string("-A ") + p.hook + " -j " + p.chain)
        jumps += std::string("-D ") + p.hook + " -j " + p.chain + "\n";
      const std::string decl = std::string(":") + p.chain + " ";
      if (!jumps_only && line.compare(0, decl.size(), decl) == 0)
        chains += std::string("-F ") + p.chain + "\n-X " + p.chain + "\n";
    }
  }
  end_table();
  return result;
}

}  // namespace

std::string chains_removal_text(const std::string& save_output) {
  return removal_text(save_output, false);
}

namespace {

int save_tables(std::string* out) {
  const char* save = first_existing(kSaveTools, std::size(kSaveTools));
  if (!save) return ENOENT;
  for (const auto& p : kPlaces) {
    std::string text;
    if (run_tool(save, {"-t", p.table}, "", &text) != 0) return EIO;
    *out += text;
  }
  return 0;
}

int restore(const std::string& text) {
  const char* tool = first_existing(kTools, std::size(kTools));
  if (!tool) return ENOENT;
  return run_tool(tool, {"--noflush"}, text, nullptr) == 0 ? 0 : EIO;
}

}  // namespace

int chains_remove() {
  std::string saved;
  int e = save_tables(&saved);
  if (e != 0) {
    log_line("iptables-save failed: " + std::string(std::strerror(e)));
    return e;
  }
  std::string text = chains_removal_text(saved);
  if (!text.empty()) e = restore(text);
  if (e != 0) {
    log_line("removing the filter chains failed");
    return e;
  }
  std::lock_guard g(g_jumps_m);
  g_jumps_on = false;
  return 0;
}

namespace {

// A host firewall that drops what it does not know: our accepting rule lets the injected answers
// in, but a firewall of nft's own (not seen here) may still drop them.
void warn_of_dropping_input(const std::string& saved) {
  if (saved.find("\n:INPUT DROP") == std::string::npos) return;
  log_line("INPUT drops by default: answers on " + std::string(kInjectDevice) +
           " are accepted by TAMSEL_ACCEPT; an nft-only firewall must accept them too");
}

}  // namespace

int chains_install() {
  std::string saved;
  if (save_tables(&saved) == 0) {
    std::string stale = chains_removal_text(saved);
    if (!stale.empty()) {
      log_line("flushing stale filter chains");
      if (restore(stale) != 0) return EIO;
    }
    warn_of_dropping_input(saved);
  }
  int e = restore(chains_install_text());
  if (e != 0) log_line("loading the filter chains failed");
  std::lock_guard g(g_jumps_m);
  g_jumps_on = false;
  return e;
}

int chains_set_jumps(bool on) {
  std::lock_guard g(g_jumps_m);
  if (on == g_jumps_on) return 0;
  int e;
  if (on) {
    e = restore(chains_jumps_text());
  } else {
    // Every jump there is, however it came to be there.
    std::string saved;
    e = save_tables(&saved);
    std::string text = e == 0 ? removal_text(saved, true) : "";
    if (e == 0 && !text.empty()) e = restore(text);
  }
  if (e != 0) {
    log_line(std::string(on ? "adding" : "removing") + " the filter's jumps failed");
    return e;
  }
  g_jumps_on = on;
  return 0;
}

}  // namespace platform::kern::linux_backend
