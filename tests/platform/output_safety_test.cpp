// What becomes of an output by what stands at its path, for root and for an ordinary user
// (nobody, uid 65534), each row in a fresh folder tree; then the new file's privacy while it is
// written, a writer killed part way, threads writing into one folder, and an output swapped
// for a FIFO during the write.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bmp/bmp_writer.h"
#include "bmpsepia.h"
#include "platform/platform.h"
#include "support/files.h"
#include "support/reference_codec.h"

namespace {

constexpr uid_t nobody = 65534;
constexpr gid_t nogroup = 65534;
constexpr mode_t test_umask = 027;  // a plain create gives 0640

struct Person {
  uid_t uid;
  gid_t gid;
};

struct ChildRun {
  int status;  // the exit status, or 128 + the signal that ended the child
  std::string err;
};

// Runs `action` in a child process as `who`, with test_umask; a call that blocks (on a FIFO,
// say) is ended by an alarm rather than hang the test.
ChildRun run_as(Person who, const std::function<int()>& action) {
  int err[2];
  if (pipe(err) != 0) return {-1, "no pipe"};
  fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    close(err[0]);
    dup2(err[1], STDERR_FILENO);
    umask(test_umask);
    if (who.uid != geteuid() &&
        (setgroups(0, nullptr) != 0 || setgid(who.gid) != 0 || setuid(who.uid) != 0)) {
      _exit(120);
    }
    alarm(20);
    _exit(action());
  }
  close(err[1]);
  ChildRun run{-1, ""};
  char buffer[512];
  for (ssize_t n; (n = read(err[0], buffer, sizeof buffer)) > 0;) {
    run.err.append(buffer, static_cast<size_t>(n));
  }
  close(err[0]);
  int status = 0;
  waitpid(child, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

// All that a conversion could change in a folder tree: per entry its type, permissions,
// owner, identity, and its content or link text. FIFOs and devices are looked at, not read.
void take_snapshot(const std::string& root, const std::string& relative,
                   std::map<std::string, std::string>* entries) {
  for (const std::string& name : list_dir(root + relative)) {
    const std::string path = root + relative + "/" + name;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) continue;
    std::string text = std::to_string(info.st_mode) + " " + std::to_string(info.st_uid) + ":" +
                       std::to_string(info.st_gid) + " inode " + std::to_string(info.st_ino);
    if (S_ISREG(info.st_mode)) text.append(" ").append(sha256_hex(read_file(path)));
    if (S_ISLNK(info.st_mode)) {
      char target[4096];
      const ssize_t n = readlink(path.c_str(), target, sizeof target);
      text.append(" -> ").append(target, static_cast<size_t>(n > 0 ? n : 0));
    }
    (*entries)[relative + "/" + name] = text;
    if (S_ISDIR(info.st_mode)) take_snapshot(root, relative + "/" + name, entries);
  }
}

std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> entries;
  take_snapshot(root, "", &entries);
  return entries;
}

// Watches the FIFOs and device nodes of a tree for being opened, read or written.
class OpenWatch {
 public:
  OpenWatch(const std::string& root, const std::map<std::string, std::string>& entries)
      : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    for (const auto& [relative, text] : entries) {
      const mode_t mode = static_cast<mode_t>(std::stoul(text));
      if (S_ISFIFO(mode) || S_ISCHR(mode)) {
        inotify_add_watch(fd_, (root + relative).c_str(), IN_OPEN | IN_ACCESS | IN_MODIFY);
      }
    }
  }
  ~OpenWatch() { close(fd_); }
  bool touched() const {
    char events[4096];
    return read(fd_, events, sizeof events) > 0;
  }

 private:
  int fd_;
};

bool set_default_acl(const std::string& folder) {
  // user::rw- group::rw- mask::rw- other::r--, in the kernel's own layout: new files 0664
  // whatever the umask.
  struct Entry {
    uint16_t tag, permissions;
    uint32_t id;
  };
  const struct {
    uint32_t version;
    Entry entries[4];
  } acl = {2, {{0x01, 6, ~0u}, {0x04, 6, ~0u}, {0x10, 6, ~0u}, {0x20, 4, ~0u}}};
  return setxattr(folder.c_str(), "system.posix_acl_default", &acl, sizeof acl, 0) == 0;
}

void make_owned(const std::string& path, Person owner, mode_t mode) {
  ASSERT_EQ(lchown(path.c_str(), owner.uid, owner.gid), 0) << path;
  if (mode != 0) {
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
  }
}

void make_folder(const std::string& path, Person owner, mode_t mode) {
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
  make_owned(path, owner, mode);
}

void make_file(const std::string& path, Person owner, mode_t mode) {
  write_file(path, Bytes{'o', 'l', 'd'});
  make_owned(path, owner, mode);
}

// A link made by `maker` itself, as a user planting it would.
void make_link(const std::string& target, const std::string& path, Person maker) {
  const ChildRun made = run_as(maker, [&] { return symlink(target.c_str(), path.c_str()); });
  ASSERT_EQ(made.status, 0) << path;
}

struct Scene {
  bool acl = false;  // the folder mine/acl has a default ACL
};

// Every kind of thing an output path may meet, in one tree. `caller` converts, `user` is the
// ordinary user (the caller too, when it is not root); parts that need root are left out
// when the test does not run as root.
Scene build_scene(const std::string& root, Person caller, Person user) {
  Scene scene;
  const bool as_root = geteuid() == 0;
  const Person root_person{0, 0};
  chmod(root.c_str(), 0755);
  write_file(root + "/in.jpg", encode_jpeg(make_test_pixels(16, 8, 3, 5), 16, 8, {}));
  chmod((root + "/in.jpg").c_str(), 0644);
  write_file(root + "/secret", Bytes{'s'});
  chmod((root + "/secret").c_str(), 0644);

  const std::string mine = root + "/mine";
  make_folder(mine, caller, 0755);
  make_file(mine + "/own.bmp", caller, 0640);
  make_folder(mine + "/dir.bmp", caller, 0755);
  EXPECT_EQ(mkfifo((mine + "/fifo.bmp").c_str(), 0666), 0);
  make_owned(mine + "/fifo.bmp", caller, 0);
  if (as_root) {
    EXPECT_EQ(mknod((mine + "/null.bmp").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    make_owned(mine + "/null.bmp", caller, 0);
  }
  const int listening = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s/socket.bmp", mine.c_str());
  EXPECT_EQ(bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(listening);
  make_owned(mine + "/socket.bmp", caller, 0);
  make_link("own.bmp", mine + "/link2.bmp", caller);
  make_link("link2.bmp", mine + "/link.bmp", caller);
  make_link("dir.bmp", mine + "/to_dir.bmp", caller);
  make_link("fifo.bmp", mine + "/to_fifo.bmp", caller);
  make_link("missing.bmp", mine + "/dangling.bmp", caller);
  make_link("loop_b.bmp", mine + "/loop_a.bmp", caller);
  make_link("loop_a.bmp", mine + "/loop_b.bmp", caller);
  make_folder(mine + "/acl", caller, 0755);
  scene.acl = set_default_acl(mine + "/acl");

  make_folder(root + "/theirs", user, 0755);
  make_file(root + "/theirs/read_only.bmp", user, 0444);
  make_folder(root + "/locked", user, 0755);
  make_file(root + "/locked/open.bmp", user, 0666);
  make_owned(root + "/locked", user, 0555);
  if (!as_root) return scene;

  make_folder(root + "/shared", root_person, 01777);
  make_file(root + "/shared/roots.bmp", root_person, 0666);
  make_link(root + "/secret", root + "/shared/planted.bmp", Person{nobody, nogroup});
  make_link(mine + "/own.bmp", root + "/shared/callers.bmp", caller);
  make_folder(root + "/users_shared", user, 01777);
  make_link(mine + "/own.bmp", root + "/users_shared/owners.bmp", user);
  return scene;
}

enum class Outcome { created, replaced, refused };

struct Row {
  const char* description;
  const char* out;     // below the scene's root
  const char* target;  // what is written: the output, or where its links lead
  Outcome as_root, as_user;
  bool needs_root;  // files of two users, or a device node
  mode_t created_mode;
};

constexpr Outcome created = Outcome::created, replaced = Outcome::replaced,
                  refused = Outcome::refused;

const Row rows[] = {
    {"nothing", "/mine/new.bmp", "/mine/new.bmp", created, created, false, 0640},
    {"nothing, in a folder with a default ACL", "/mine/acl/new.bmp", "/mine/acl/new.bmp", created,
     created, false, 0664},
    {"the caller's file", "/mine/own.bmp", "/mine/own.bmp", replaced, replaced, false, 0},
    {"the user's read-only file", "/theirs/read_only.bmp", "/theirs/read_only.bmp", replaced,
     refused, false, 0},
    {"a writable file in a folder that is not", "/locked/open.bmp", "/locked/open.bmp", replaced,
     refused, false, 0},
    {"root's writable file in a sticky world-writable folder", "/shared/roots.bmp",
     "/shared/roots.bmp", replaced, refused, true, 0},
    {"a folder", "/mine/dir.bmp", "", refused, refused, false, 0},
    {"a FIFO", "/mine/fifo.bmp", "", refused, refused, false, 0},
    {"a device node (1, 3)", "/mine/null.bmp", "", refused, refused, true, 0},
    {"a socket", "/mine/socket.bmp", "", refused, refused, false, 0},
    {"a link to a link to the caller's file", "/mine/link.bmp", "/mine/own.bmp", replaced, replaced,
     false, 0},
    {"a link to a folder", "/mine/to_dir.bmp", "", refused, refused, false, 0},
    {"a link to a FIFO", "/mine/to_fifo.bmp", "", refused, refused, false, 0},
    {"a link to nothing", "/mine/dangling.bmp", "", refused, refused, false, 0},
    {"a link loop", "/mine/loop_a.bmp", "", refused, refused, false, 0},
    {"nobody's link to root's file in root's sticky folder", "/shared/planted.bmp", "", refused,
     refused, true, 0},
    {"the caller's link in root's sticky folder", "/shared/callers.bmp", "/mine/own.bmp", replaced,
     replaced, true, 0},
    {"the folder owner's link in the user's sticky folder", "/users_shared/owners.bmp",
     "/mine/own.bmp", replaced, replaced, true, 0},
};

Bytes reference_bmp() {
  TempDir dir;
  write_file(dir.path("in.jpg"), encode_jpeg(make_test_pixels(16, 8, 3, 5), 16, 8, {}));
  EXPECT_EQ(convert_files(dir.path("in.jpg"), dir.path("out.bmp")).result, BMPSEPIA_CONVERTED);
  return read_file(dir.path("out.bmp"));
}

TEST(OutputSafety, WhatStandsAtThePathDecides) {
  const Bytes want_bmp = reference_bmp();
  ASSERT_EQ(want_bmp.size(), 54u + 16 * 3 * 8);
  const bool as_root = geteuid() == 0;
  const Person self{geteuid(), getegid()};
  struct Caller {
    const char* name;
    Person person;
    bool root;
  };
  std::vector<Caller> callers;
  if (as_root) {
    callers = {{"root", {0, 0}, true}, {"nobody", {nobody, nogroup}, false}};
  } else {
    callers = {{"this user", self, false}};
    printf("not root: the rows that need files of two users or a device node are skipped\n");
  }
  for (const Caller& caller : callers) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.description) + ", as " + caller.name);
      if (row.needs_root && !as_root) continue;
      TempDir dir;
      const std::string root = dir.root();
      const Person user = as_root ? Person{nobody, nogroup} : self;
      const Scene scene = build_scene(root, caller.person, user);
      if (strstr(row.out, "/acl/") != nullptr && !scene.acl) {
        printf("%s: the file system takes no default ACL, row skipped\n", root.c_str());
        continue;
      }
      const std::map<std::string, std::string> before = snapshot(root);
      const OpenWatch watch(root, before);
      const std::u16string in = utf16(root + "/in.jpg");
      const std::u16string out = utf16(root + row.out);
      const ChildRun run =
          run_as(caller.person, [&] { return BMPSepia(in.c_str(), out.c_str()) == 999 ? 0 : 1; });
      EXPECT_FALSE(watch.touched()) << "a FIFO or device node was opened";
      std::map<std::string, std::string> after = snapshot(root);
      chmod((root + "/locked").c_str(), 0755);  // so that the folder can be removed
      const Outcome want = caller.root ? row.as_root : row.as_user;
      if (want == refused) {
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "Error opening the output file.\n");
        EXPECT_EQ(after, before);
        continue;
      }
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(run.err, "");
      const std::string target = root + row.target;
      EXPECT_TRUE(read_file(target) == want_bmp) << "the target does not hold the picture";
      struct stat info;
      ASSERT_EQ(lstat(target.c_str(), &info), 0);
      if (want == created) {
        EXPECT_EQ(info.st_mode & 07777, row.created_mode);
        EXPECT_EQ(info.st_uid, caller.person.uid);
        EXPECT_EQ(info.st_gid, caller.person.gid);
        EXPECT_EQ(before.count(row.target), 0u);
      } else {
        // Mode, owner and group as before; only the identity and the content change.
        ASSERT_EQ(before.count(row.target), 1u);
        const std::string& old = before.at(row.target);
        EXPECT_EQ(std::to_string(info.st_mode) + " " + std::to_string(info.st_uid) + ":" +
                      std::to_string(info.st_gid),
                  old.substr(0, old.find(" inode")));
      }
      after.erase(row.target);
      std::map<std::string, std::string> others = before;
      others.erase(row.target);
      EXPECT_EQ(after, others) << "something else changed, or a temporary file was left";
    }
  }
}

// Finds the file being written: the regular file this process holds open in `folder`, named
// or not. Its mode, or -1 when there is not exactly one.
int32_t mode_of_file_being_written(const std::string& folder) {
  int32_t mode = -1;
  int32_t found = 0;
  for (const std::string& fd : list_dir("/proc/self/fd")) {
    const std::string link = "/proc/self/fd/" + fd;
    char target[4096];
    const ssize_t n = readlink(link.c_str(), target, sizeof target);
    struct stat info;
    if (n <= 0 || !std::string(target, static_cast<size_t>(n)).starts_with(folder + "/") ||
        stat(link.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
      continue;
    }
    mode = static_cast<int32_t>(info.st_mode & 07777);
    ++found;
  }
  return found == 1 ? mode : -1;
}

struct Observation {
  std::string folder;
  int32_t mode = -1;
  std::vector<std::string> names;
};

// Looks, halfway through the picture, at the file being written and at the folder.
void observe_half_way(const void* context, int32_t y, uint8_t* bgr) {
  auto* seen = const_cast<Observation*>(static_cast<const Observation*>(context));
  if (y == 32) {
    seen->mode = mode_of_file_being_written(seen->folder);
    seen->names = list_dir(seen->folder);
  }
  memset(bgr, y, 3 * 8);
}

bool is_temp_name(const std::string& name) {
  return name.size() == 30 && name.starts_with(".bmpsepia-") && name.ends_with(".tmp") &&
         name.find_first_not_of("0123456789abcdef", 10) == 26;
}

TEST(OutputSafety, TheNewFileIsPrivateUntilComplete) {
  const mode_t old_mask = umask(022);
  for (const bool named : {false, true}) {
    for (const bool acl : {false, true}) {
      for (const bool existing : {false, true}) {
        SCOPED_TRACE(std::string(named ? "named" : "unnamed") + (acl ? ", default ACL" : "") +
                     (existing ? ", replacing a 0644 file" : ", a new file"));
        TempDir dir;
        const std::string folder = dir.path("out");
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
        if (acl && !set_default_acl(folder)) {
          printf("the file system takes no default ACL, case skipped\n");
          continue;
        }
        if (existing) make_file(folder + "/out.bmp", Person{geteuid(), getegid()}, 0644);
        platform_name_temporaries(named);
        Observation seen;
        seen.folder = folder;
        const bool written =
            write_bmp_rows((folder + "/out.bmp").c_str(), 8, 64, observe_half_way, &seen);
        platform_name_temporaries(false);
        ASSERT_TRUE(written);
        EXPECT_EQ(seen.mode, 0600) << "while written";
        std::set<std::string> temps;
        for (const std::string& name : seen.names) {
          if (name != "out.bmp") temps.insert(name);
        }
        EXPECT_EQ(temps.size(), named ? 1u : 0u);
        for (const std::string& name : temps) EXPECT_TRUE(is_temp_name(name)) << name;
        struct stat info;
        ASSERT_EQ(stat((folder + "/out.bmp").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, acl && !existing ? 0664u : 0644u) << "once complete";
        EXPECT_EQ(list_dir(folder), std::vector<std::string>{"out.bmp"});
      }
    }
  }
  umask(old_mask);
}

struct Pause {
  int signal_fd;
};

// Tells the parent it is half way, then waits to be killed.
void pause_half_way(const void* context, int32_t y, uint8_t* bgr) {
  if (y == 32) {
    const char byte = 'h';
    if (write(static_cast<const Pause*>(context)->signal_fd, &byte, 1) == 1) pause();
  }
  memset(bgr, 0, 3 * 8);
}

TEST(OutputSafety, AWriterKilledPartWayLeavesNoNamedFile) {
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "named temporary file" : "unnamed");
    TempDir dir;
    const std::string out = dir.path("out.bmp");
    write_file(out, Bytes{'o', 'l', 'd'});
    std::set<std::string> left;
    for (int round = 0; round < 2; ++round) {
      int half_way[2];
      ASSERT_EQ(pipe(half_way), 0);
      const pid_t writer = fork();
      if (writer == 0) {
        platform_name_temporaries(named);
        const Pause pause_at{half_way[1]};
        write_bmp_rows(out.c_str(), 8, 64, pause_half_way, &pause_at);
        _exit(1);
      }
      close(half_way[1]);
      char byte = 0;
      EXPECT_EQ(read(half_way[0], &byte, 1), 1);
      close(half_way[0]);
      kill(writer, SIGKILL);
      waitpid(writer, nullptr, 0);
    }
    EXPECT_EQ(read_file(out), (Bytes{'o', 'l', 'd'}));
    for (const std::string& name : list_dir(dir.root())) {
      if (name == "out.bmp") continue;
      left.insert(name);
      EXPECT_TRUE(is_temp_name(name)) << name;
      struct stat info;
      ASSERT_EQ(lstat(dir.path(name).c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 07777, 0600u) << name;
    }
    // Unnamed, a killed writer's file goes with it; a named one stays, under its own random
    // name, for no other process to remove.
    EXPECT_EQ(left.size(), named ? 2u : 0u);
  }
}

TEST(OutputSafety, ThreadsWriteIntoOneFolderAtOnce) {
  constexpr int threads = 8;
  constexpr int rounds = 25;
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "named temporary files" : "unnamed");
    platform_name_temporaries(named);
    TempDir dir;
    std::atomic<int> failures{0};
    // Thread t writes bytes t, 1000 + 100 t + round of them, into t.bmp on even rounds and into
    // shared.bmp on odd ones.
    const auto work = [&](int t) {
      for (int round = 0; round < rounds; ++round) {
        const std::string path =
            dir.path(round % 2 == 0 ? std::to_string(t) + ".bmp" : "shared.bmp");
        const Bytes bytes(static_cast<size_t>(1000 + 100 * t + round), static_cast<uint8_t>(t));
        PendingFile pending;
        if (!platform_begin_replace(path.c_str(), &pending)) {
          ++failures;
          continue;
        }
        if (!platform_write(bytes.data(), bytes.size(), pending.stream)) {
          platform_abort_replace(&pending);
          ++failures;
          continue;
        }
        if (!platform_commit_replace(&pending)) ++failures;
      }
    };
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) running.emplace_back(work, t);
    for (std::thread& thread : running) thread.join();
    platform_name_temporaries(false);
    EXPECT_EQ(failures.load(), 0);
    std::vector<std::string> names = list_dir(dir.root());
    std::sort(names.begin(), names.end());
    std::vector<std::string> want{"shared.bmp"};
    for (int t = 0; t < threads; ++t) want.push_back(std::to_string(t) + ".bmp");
    std::sort(want.begin(), want.end());
    EXPECT_EQ(names, want);
    for (int t = 0; t < threads; ++t) {
      EXPECT_EQ(read_file(dir.path(std::to_string(t) + ".bmp")),
                Bytes(static_cast<size_t>(1000 + 100 * t + rounds - 1), static_cast<uint8_t>(t)));
    }
    // Whoever wrote shared.bmp last, it holds one whole write of one thread.
    const Bytes shared = read_file(dir.path("shared.bmp"));
    ASSERT_FALSE(shared.empty());
    const int t = shared[0];
    const size_t round = shared.size() - static_cast<size_t>(1000 + 100 * t);
    EXPECT_TRUE(round < rounds && round % 2 == 1) << shared.size();
    EXPECT_EQ(shared, Bytes(shared.size(), static_cast<uint8_t>(t)));
  }
}

TEST(OutputSafety, AnOutputSwappedForASpecialFileDuringTheWriteIsNotReplaced) {
  struct Case {
    const char* description;
    std::function<int(const char*)> make;
  };
  std::vector<Case> cases = {{"a FIFO", [](const char* path) { return mkfifo(path, 0644); }}};
  if (geteuid() == 0) {
    cases.push_back({"a device node",
                     [](const char* path) { return mknod(path, S_IFCHR | 0644, makedev(1, 3)); }});
  }
  for (const bool named : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.description) + (named ? ", named" : ", unnamed"));
      platform_name_temporaries(named);
      TempDir dir;
      const std::string out = dir.path("out.bmp");
      write_file(out, Bytes{'o', 'l', 'd'});
      PendingFile pending;
      ASSERT_TRUE(platform_begin_replace(out.c_str(), &pending));
      platform_name_temporaries(false);
      EXPECT_TRUE(platform_write("new", 3, pending.stream));
      ASSERT_EQ(unlink(out.c_str()), 0);
      ASSERT_EQ(c.make(out.c_str()), 0);
      EXPECT_FALSE(platform_commit_replace(&pending));
      struct stat info;
      ASSERT_EQ(lstat(out.c_str(), &info), 0);
      EXPECT_FALSE(S_ISREG(info.st_mode));
      EXPECT_EQ(list_dir(dir.root()), std::vector<std::string>{"out.bmp"});
    }
  }
}

// --sync flushes the folder too; one the caller may not read is flushed through its file.
TEST(OutputSafety, SyncedOutputsAreWrittenInFoldersThatCannotBeRead) {
  const Person caller = geteuid() == 0 ? Person{nobody, nogroup} : Person{geteuid(), getegid()};
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "named" : "unnamed");
    TempDir dir;
    chmod(dir.root().c_str(), 0755);
    const std::string folder = dir.path("drop");
    make_folder(folder, caller, 0300);
    const std::vector<uint8_t> pixels(4 * 4 * 3, 9);
    const ChildRun run = run_as(caller, [&] {
      platform_sync_outputs(true);
      platform_name_temporaries(named);
      return write_bmp((folder + "/out.bmp").c_str(), 4, 4, pixels.data()) ? 0 : 1;
    });
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_file(folder + "/out.bmp").size(), 54u + 4 * 12);
    chmod(folder.c_str(), 0700);
    EXPECT_EQ(list_dir(folder), std::vector<std::string>{"out.bmp"});
  }
}

}  // namespace
