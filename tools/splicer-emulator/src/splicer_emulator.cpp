// seamlog-splicer-emulator: test equipment. An emulated splicer on an
// emulated USB bus (umockdev): it serves report files on its bulk IN
// endpoint at a pace, and can stall, be unplugged and plugged in again,
// answer a write, refuse to be opened, or have the program under test
// killed. It runs one command on that bus and ends with it.
//
//   seamlog-splicer-emulator [options] -- COMMAND [ARGS...]
//
// The emulator runs itself under umockdev's preload (it re-executes itself
// when it is not), because only then do its plug events reach the command.
// The command gets a clean signal mask and dies with the emulator; SIGINT and
// SIGTERM sent to the emulator are passed on to it.
#include <fcntl.h>
#include <glib-unix.h>
#include <glib/gstdio.h>
#include <linux/usbdevice_fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr const char* kDevNode = "/dev/bus/usb/001/002";
constexpr unsigned char kInEndpoint = 0x81;
constexpr unsigned char kOutEndpoint = 0x02;

struct Settings {
  std::vector<std::string> reports;
  unsigned gapMs = 1000;          // between two reports
  double bytesPerSecond = 20000;  // the splicer's pace
  long stallAt = -1;
  long unplugAt = -1;
  unsigned replugAfterMs = 1000;
  long killAt = -1;
  unsigned killAfterMs = 500;
  long endAfterMs = -1;  // SIGTERM to the command this long after the last byte
  std::string answer;    // sent back for each write
  bool refuseOpen = false;
  bool noDevice = false;
  unsigned vendor = 0, product = 0;
  std::vector<char*> command;
};

struct Urb {
  const void* client = nullptr;  // the open node it came through
  UMockdevIoctlData* urb = nullptr;
  UMockdevIoctlData* buffer = nullptr;
  unsigned char endpoint = 0;
  int length = 0;
  int status = 0;
  int actual = 0;
};

struct Splicer {
  Settings settings;
  UMockdevTestbed* testbed = nullptr;
  UMockdevIoctlBase* handler = nullptr;  // kept across a replug
  std::string syspath;
  std::string stream;  // every report, as one stream of bytes
  std::vector<std::size_t> reportStarts;
  std::size_t served = 0;
  std::string answers;  // answers to writes, served before the report
  std::deque<Urb> pendingIn;
  std::deque<Urb> done;             // to reap
  const void* claimedBy = nullptr;  // the open node holding the interface
  bool plugged = false;
  bool halted = false;
  bool stalledOnce = false;
  bool unpluggedOnce = false;
  bool killed = false;
  bool pausedForKill = false;
  gint64 start = 0;  // when the current report began to flow
  std::size_t startServed = 0;
  std::size_t reportIndex = 0;
  gint64 gapUntil = 0;
  gint64 firstByteAt = 0;
  gint64 lastByteAt = 0;
  bool endSent = false;
  pid_t child = -1;
  int childStatus = 0;
  GMainLoop* loop = nullptr;
};

Splicer* splicer = nullptr;
// umockdev calls the handler on a thread of its own; the timers run on the
// main loop. Everything that touches the splicer holds this.
std::recursive_mutex splicerLock;

std::string Descriptors(unsigned vendor, unsigned product) {
  const unsigned char bytes[] = {
      18, 1, 0x00, 0x02, 0, 0, 0, 64, static_cast<unsigned char>(vendor),
      static_cast<unsigned char>(vendor >> 8), static_cast<unsigned char>(product),
      static_cast<unsigned char>(product >> 8), 0x00, 0x01, 0, 0, 0, 1,
      // configuration 1, one interface of class 0 with a bulk IN and a bulk OUT pipe of 64 bytes
      9, 2, 32, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 2, 0, 0, 0, 0, 7, 5, kInEndpoint, 2, 64, 0, 0, 7, 5,
      kOutEndpoint, 2, 64, 0, 0};
  return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

// How far the stream may have got by now, at the splicer's pace, with the
// gaps between reports.
std::size_t Allowed(gint64 now) {
  Splicer& s = *splicer;
  if (s.reportIndex >= s.reportStarts.size()) return s.stream.size();
  const std::size_t reportEnd =
      s.reportIndex + 1 < s.reportStarts.size() ? s.reportStarts[s.reportIndex + 1] : s.stream.size();
  if (now < s.gapUntil) return s.served;
  const double seconds = static_cast<double>(now - s.start) / 1e6;
  const std::size_t paced = s.startServed + static_cast<std::size_t>(seconds * s.settings.bytesPerSecond);
  std::size_t allowed = std::min(paced, reportEnd);
  auto limit = [&](long at) {
    if (at >= 0 && s.served < static_cast<std::size_t>(at))
      allowed = std::min(allowed, static_cast<std::size_t>(at));
  };
  limit(s.settings.stallAt);
  limit(s.settings.unplugAt);
  // Nothing after the byte at which the command is killed.
  if (s.settings.killAt >= 0) allowed = std::min(allowed, static_cast<std::size_t>(s.settings.killAt));
  return allowed;
}

void Unplug();

void AdvanceReport(gint64 now) {
  Splicer& s = *splicer;
  if (s.reportIndex >= s.reportStarts.size()) return;
  const std::size_t reportEnd =
      s.reportIndex + 1 < s.reportStarts.size() ? s.reportStarts[s.reportIndex + 1] : s.stream.size();
  if (s.served < reportEnd) return;
  ++s.reportIndex;
  s.gapUntil = now + static_cast<gint64>(s.settings.gapMs) * 1000;
  s.start = s.gapUntil;
  s.startServed = s.served;
}

void Complete(Urb urb, int status, const char* data, int length) {
  if (length > 0)
    umockdev_ioctl_data_update(urb.buffer, 0, reinterpret_cast<guint8*>(const_cast<char*>(data)), length);
  urb.status = status;
  urb.actual = length;
  splicer->done.push_back(urb);
}

// Fills IN transfers from the answers and the report, as far as the pace allows.
void Serve() {
  Splicer& s = *splicer;
  const gint64 now = g_get_monotonic_time();
  while (!s.pendingIn.empty()) {
    if (s.halted) {
      Complete(s.pendingIn.front(), -EPIPE, nullptr, 0);
      s.pendingIn.pop_front();
      continue;
    }
    Urb urb = s.pendingIn.front();
    if (!s.answers.empty()) {
      const int n = std::min<int>(urb.length, static_cast<int>(s.answers.size()));
      Complete(urb, 0, s.answers.data(), n);
      s.answers.erase(0, static_cast<std::size_t>(n));
      s.pendingIn.pop_front();
      continue;
    }
    const std::size_t allowed = Allowed(now);
    if (allowed <= s.served) break;
    const int n = std::min<int>(urb.length, static_cast<int>(allowed - s.served));
    Complete(urb, 0, s.stream.data() + s.served, n);
    s.pendingIn.pop_front();
    s.served += static_cast<std::size_t>(n);
    if (s.firstByteAt == 0) s.firstByteAt = now;
    s.lastByteAt = now;
    AdvanceReport(now);
  }
  if (!s.stalledOnce && s.settings.stallAt >= 0 && s.served >= static_cast<std::size_t>(s.settings.stallAt)) {
    s.stalledOnce = true;
    s.halted = true;
  }
}

gboolean Replug(gpointer);

// The transfers of one open node, or of all (client null).
void Forget(std::deque<Urb>& urbs, const void* client = nullptr) {
  for (auto it = urbs.begin(); it != urbs.end();) {
    if (client != nullptr && it->client != client) {
      ++it;
      continue;
    }
    g_object_unref(it->urb);
    it = urbs.erase(it);
  }
}

void Unplug() {
  Splicer& s = *splicer;
  s.plugged = false;
  Forget(s.pendingIn);
  Forget(s.done);
  s.claimedBy = nullptr;
  GError* error = nullptr;
  umockdev_testbed_detach_ioctl(s.testbed, kDevNode, &error);
  g_clear_error(&error);
  umockdev_testbed_uevent(s.testbed, s.syspath.c_str(), "remove");
  umockdev_testbed_remove_device(s.testbed, s.syspath.c_str());
  g_unlink((std::string(umockdev_testbed_get_root_dir(s.testbed)) + kDevNode).c_str());
  g_timeout_add(s.settings.replugAfterMs, Replug, nullptr);
}

gboolean KillCommand(gpointer) {
  const std::lock_guard<std::recursive_mutex> hold(splicerLock);
  if (splicer->child > 0) kill(splicer->child, SIGKILL);
  return G_SOURCE_REMOVE;
}

gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
  const std::lock_guard<std::recursive_mutex> hold(splicerLock);
  Splicer& s = *splicer;
  const gulong request = umockdev_ioctl_client_get_request(client);
  const gsize size = _IOC_SIZE(request);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  if (!s.plugged) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return TRUE;
  }
  GError* error = nullptr;
  UMockdevIoctlData* data = size > 0 ? umockdev_ioctl_data_resolve(arg, 0, size, &error) : nullptr;
  if (error != nullptr) {
    g_clear_error(&error);
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return TRUE;
  }
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      guint32 caps = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                     USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
      umockdev_ioctl_data_update(data, 0, reinterpret_cast<guint8*>(&caps), sizeof caps);
      umockdev_ioctl_client_complete(client, 0, 0);
      break;
    }
    case USBDEVFS_CLAIMINTERFACE:
      // One program at a time, as the kernel has it.
      if (s.claimedBy != nullptr && s.claimedBy != client) {
        umockdev_ioctl_client_complete(client, -1, EBUSY);
        break;
      }
      s.claimedBy = client;
      umockdev_ioctl_client_complete(client, 0, 0);
      break;
    case USBDEVFS_RELEASEINTERFACE:
      if (s.claimedBy == client) s.claimedBy = nullptr;
      umockdev_ioctl_client_complete(client, 0, 0);
      break;
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_RESETEP:
      umockdev_ioctl_client_complete(client, 0, 0);
      break;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:  // no kernel driver is bound to detach
      umockdev_ioctl_client_complete(client, -1, ENODATA);
      break;
    case USBDEVFS_CLEAR_HALT:
      s.halted = false;
      umockdev_ioctl_client_complete(client, 0, 0);
      break;
    case USBDEVFS_SUBMITURB: {
      auto* raw = reinterpret_cast<usbdevfs_urb*>(data->data);
      Urb urb;
      urb.client = client;
      urb.endpoint = raw->endpoint;
      urb.length = raw->buffer_length;
      urb.buffer = umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer), urb.length, &error);
      if (error != nullptr || raw->type != USBDEVFS_URB_TYPE_BULK) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        break;
      }
      urb.urb = static_cast<UMockdevIoctlData*>(g_object_ref(data));
      if (urb.endpoint == kInEndpoint) {
        s.pendingIn.push_back(urb);
      } else {
        // A write: taken whole, and answered when the emulator has an answer.
        s.answers += s.settings.answer;
        Complete(urb, 0, nullptr, 0);
        s.done.back().actual = urb.length;
      }
      umockdev_ioctl_client_complete(client, 0, 0);
      break;
    }
    case USBDEVFS_DISCARDURB: {
      // The argument is the address of the URB to take back.
      const gulong address = *reinterpret_cast<gulong*>(arg->data);
      for (auto it = s.pendingIn.begin(); it != s.pendingIn.end(); ++it) {
        if (it->urb->client_addr != address) continue;
        Complete(*it, -ENOENT, nullptr, 0);
        s.pendingIn.erase(it);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
      }
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      break;
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
      Serve();
      // Only this node's own transfers.
      auto mine =
          std::find_if(s.done.begin(), s.done.end(), [&](const Urb& u) { return u.client == client; });
      if (mine == s.done.end()) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        break;
      }
      Urb urb = *mine;
      s.done.erase(mine);
      auto* raw = reinterpret_cast<usbdevfs_urb*>(urb.urb->data);
      raw->status = urb.status;
      raw->actual_length = urb.actual;
      umockdev_ioctl_data_update(urb.urb, 0, urb.urb->data, urb.urb->data_len);
      umockdev_ioctl_data_set_ptr(data, 0, urb.urb);
      umockdev_ioctl_client_complete(client, 0, 0);
      g_object_unref(urb.urb);
      // The splicer is pulled out once the command has what came before.
      if (!s.unpluggedOnce && s.settings.unplugAt >= 0 &&
          s.served >= static_cast<std::size_t>(s.settings.unplugAt) && s.done.empty()) {
        s.unpluggedOnce = true;
        Unplug();
      }
      if (!s.killed && s.settings.killAt >= 0 && s.served >= static_cast<std::size_t>(s.settings.killAt)) {
        s.killed = true;
        g_timeout_add(s.settings.killAfterMs, KillCommand, nullptr);
      }
      break;
    }
    default:
      umockdev_ioctl_client_complete(client, -1, ENOTTY);
      break;
  }
  if (data != nullptr) g_object_unref(data);
  return TRUE;
}

// The program closed the device (or died): its transfers go with it.
void ClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
  const std::lock_guard<std::recursive_mutex> hold(splicerLock);
  Forget(splicer->pendingIn, client);
  Forget(splicer->done, client);
  if (splicer->claimedBy == client) splicer->claimedBy = nullptr;
}

bool Plug() {
  Splicer& s = *splicer;
  char vendor[8], product[8], productProperty[32];
  std::snprintf(vendor, sizeof vendor, "%04x\n", s.settings.vendor);
  std::snprintf(product, sizeof product, "%04x\n", s.settings.product);
  std::snprintf(productProperty, sizeof productProperty, "%x/%x/100", s.settings.vendor, s.settings.product);
  // Sysfs values end in a newline; "dev" makes umockdev create the node.
  const gchar* attributes[] = {"busnum",
                               "1\n",
                               "devnum",
                               "2\n",
                               "idVendor",
                               vendor,
                               "idProduct",
                               product,
                               "speed",
                               "480\n",
                               "bConfigurationValue",
                               "1\n",
                               "bNumConfigurations",
                               "1\n",
                               "dev",
                               "189:1\n",
                               nullptr};
  const gchar* properties[] = {"BUSNUM",  "001",        "DEVNUM",  "002",           "DEVNAME", kDevNode,
                               "DEVTYPE", "usb_device", "PRODUCT", productProperty, nullptr};
  gchar* path = umockdev_testbed_add_devicev(
      s.testbed, "usb", "1-1", nullptr, const_cast<gchar**>(attributes), const_cast<gchar**>(properties));
  if (path == nullptr) return false;
  s.syspath = path;
  g_free(path);
  const std::string descriptors = Descriptors(s.settings.vendor, s.settings.product);
  umockdev_testbed_set_attribute_binary(s.testbed, s.syspath.c_str(), "descriptors",
                                        reinterpret_cast<guint8*>(const_cast<char*>(descriptors.data())),
                                        static_cast<gint>(descriptors.size()));
  // The device node, a plain file that the preload redirects to the handler.
  const std::string node = std::string(umockdev_testbed_get_root_dir(s.testbed)) + kDevNode;
  g_mkdir_with_parents(std::string(node, 0, node.rfind('/')).c_str(), 0755);
  g_file_set_contents(node.c_str(), "", 0, nullptr);
  if (s.settings.refuseOpen) {
    s.plugged = true;
    return true;
  }
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(s.testbed, kDevNode, s.handler, &error)) {
    std::fprintf(stderr, "seamlog-splicer-emulator: %s\n", error->message);
    g_clear_error(&error);
    return false;
  }
  s.plugged = true;
  s.halted = false;
  return true;
}

gboolean Replug(gpointer) {
  const std::lock_guard<std::recursive_mutex> hold(splicerLock);
  if (Plug()) umockdev_testbed_uevent(splicer->testbed, splicer->syspath.c_str(), "add");
  // The pace goes on from here.
  splicer->start = g_get_monotonic_time();
  splicer->startServed = splicer->served;
  return G_SOURCE_REMOVE;
}

// After the last byte: SIGTERM to the command, once it has had the time asked for.
gboolean Watch(gpointer) {
  const std::lock_guard<std::recursive_mutex> hold(splicerLock);
  Splicer& s = *splicer;
  if (s.plugged && !s.settings.refuseOpen) Serve();
  if (s.settings.endAfterMs >= 0 && !s.endSent && s.served == s.stream.size() && s.child > 0) {
    const gint64 since = s.lastByteAt == 0 ? s.start : s.lastByteAt;
    if (g_get_monotonic_time() - since >= s.settings.endAfterMs * 1000) {
      s.endSent = true;
      kill(s.child, SIGTERM);
    }
  }
  return G_SOURCE_CONTINUE;
}

gboolean PassOn(gpointer signal) {
  const std::lock_guard<std::recursive_mutex> hold(splicerLock);
  if (splicer->child > 0) kill(splicer->child, GPOINTER_TO_INT(signal));
  return G_SOURCE_CONTINUE;
}

void ChildExited(GPid, gint status, gpointer) {
  const std::lock_guard<std::recursive_mutex> hold(splicerLock);
  splicer->childStatus = status;
  splicer->child = -1;
  g_main_loop_quit(splicer->loop);
}

bool ReadFileBytes(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), {});
  return true;
}

int Usage(const char* problem) {
  std::fprintf(stderr,
               "seamlog-splicer-emulator: %s\n"
               "usage: seamlog-splicer-emulator [--report FILE]... [--gap-ms MS] [--rate BYTES_PER_S]\n"
               "         [--stall-at N] [--unplug-at N] [--replug-after-ms MS] [--kill-at N]\n"
               "         [--kill-after-ms MS] [--end-after-ms MS] [--answer-write TEXT] [--refuse-open]\n"
               "         [--no-device] [--ids VID:PID] -- COMMAND [ARGS...]\n",
               problem);
  return 2;
}

bool ParseArguments(int argc, char** argv, Settings& settings) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      settings.command.assign(argv + i + 1, argv + argc);
      settings.command.push_back(nullptr);
      return settings.command.size() > 1;
    }
    if (arg == "--refuse-open") {
      settings.refuseOpen = true;
      continue;
    }
    if (arg == "--no-device") {
      settings.noDevice = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (arg == "--report")
      settings.reports.emplace_back(value);
    else if (arg == "--gap-ms")
      settings.gapMs = static_cast<unsigned>(std::atol(value));
    else if (arg == "--rate")
      settings.bytesPerSecond = std::atof(value);
    else if (arg == "--stall-at")
      settings.stallAt = std::atol(value);
    else if (arg == "--unplug-at")
      settings.unplugAt = std::atol(value);
    else if (arg == "--replug-after-ms")
      settings.replugAfterMs = static_cast<unsigned>(std::atol(value));
    else if (arg == "--kill-at")
      settings.killAt = std::atol(value);
    else if (arg == "--kill-after-ms")
      settings.killAfterMs = static_cast<unsigned>(std::atol(value));
    else if (arg == "--end-after-ms")
      settings.endAfterMs = std::atol(value);
    else if (arg == "--answer-write")
      settings.answer = value;
    else if (arg == "--ids") {
      if (std::sscanf(value, "%x:%x", &settings.vendor, &settings.product) != 2) return false;
    } else
      return false;
  }
  return false;
}

// The command: a clean signal mask and default handlers, and it ends with us.
pid_t StartCommand(Settings& settings) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (settings.refuseOpen) {
    // The splicer's node refuses this user, as one without the udev rule.
    const char* refuse = std::getenv("SEAMLOG_EMULATOR_REFUSE_PRELOAD");
    const char* preload = std::getenv("LD_PRELOAD");
    if (refuse != nullptr)
      setenv("LD_PRELOAD", (std::string(refuse) + ":" + (preload ? preload : "")).c_str(), 1);
  }
  execvp(settings.command[0], settings.command.data());
  std::fprintf(stderr, "seamlog-splicer-emulator: cannot run %s: %s\n", settings.command[0],
               std::strerror(errno));
  _exit(127);
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!ParseArguments(argc, argv, settings)) return Usage("bad arguments");
  if (std::getenv("SEAMLOG_EMULATOR_UNDER_PRELOAD") == nullptr) {
    setenv("SEAMLOG_EMULATOR_UNDER_PRELOAD", "1", 1);
    // Plug events reach the command only from a process under the preload.
    const char* preload = std::getenv("LD_PRELOAD");
    std::string value = "libumockdev-preload.so.0";
    if (preload != nullptr && *preload != '\0') value += std::string(":") + preload;
    setenv("LD_PRELOAD", value.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "seamlog-splicer-emulator: cannot run under umockdev: %s\n", std::strerror(errno));
    return 2;
  }
  Splicer state;
  splicer = &state;
  state.settings = settings;
  for (const std::string& report : settings.reports) {
    state.reportStarts.push_back(state.stream.size());
    std::string bytes;
    if (!ReadFileBytes(report, bytes)) return Usage(("cannot read " + report).c_str());
    state.stream += bytes;
  }
  state.testbed = umockdev_testbed_new();
  state.handler = umockdev_ioctl_base_new();
  g_signal_connect(state.handler, "handle-ioctl", G_CALLBACK(HandleIoctl), nullptr);
  g_signal_connect(state.handler, "client-vanished", G_CALLBACK(ClientVanished), nullptr);
  if (!settings.noDevice && !Plug()) return Usage("cannot plug the splicer into the emulated bus");
  state.start = g_get_monotonic_time();
  state.loop = g_main_loop_new(nullptr, FALSE);
  state.child = StartCommand(state.settings);
  if (state.child < 0) return Usage("cannot start the command");
  g_child_watch_add(state.child, ChildExited, nullptr);
  g_unix_signal_add(SIGTERM, PassOn, GINT_TO_POINTER(SIGTERM));
  g_unix_signal_add(SIGINT, PassOn, GINT_TO_POINTER(SIGINT));
  g_timeout_add(5, Watch, nullptr);
  g_main_loop_run(state.loop);
  std::fprintf(
      stderr, "seamlog-splicer-emulator: served %zu of %zu bytes in %.3f s, %u stall(s), %u unplug(s)\n",
      state.served, state.stream.size(), static_cast<double>(state.lastByteAt - state.firstByteAt) / 1e6,
      state.stalledOnce ? 1u : 0u, state.unpluggedOnce ? 1u : 0u);
  // The testbed takes its folder with it.
  g_object_unref(state.handler);
  g_object_unref(state.testbed);
  if (WIFEXITED(state.childStatus)) return WEXITSTATUS(state.childStatus);
  return 128 + WTERMSIG(state.childStatus);
}
