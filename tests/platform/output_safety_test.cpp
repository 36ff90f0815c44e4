// What becomes of an output by what stands at its path, for root and for an ordinary user
// (nobody, uid 65534), each row in a fresh folder tree; then the new file while it is written
// and when its writer is killed.

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

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bmp/bmp_writer.h"
#include "bmpsepia.h"
#include "platform/platform.h"
#include "support/files.h"
#include "support/reference_codec.h"

namespace {

struct Person {
  uid_t uid;
  gid_t gid;
};
constexpr Person root{0, 0};
constexpr Person nobody{65534, 65534};

// Runs `action` in a child process as `who` with umask 027, so a plain create gives 0640. A
// call that blocks (on a FIFO, say) is ended by an alarm instead of hanging the test. Returns
// the exit status, or 128 + a signal, and what the child wrote on standard error.
std::pair<int, std::string> run_as(Person who, const std::function<int()>& action) {
  int err[2];
  if (pipe(err) != 0) return {-1, ""};
  fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    dup2(err[1], STDERR_FILENO);
    umask(027);
    if (who.uid != geteuid() &&
        (setgroups(0, nullptr) != 0 || setgid(who.gid) != 0 || setuid(who.uid) != 0)) {
      _exit(120);
    }
    alarm(20);
    _exit(action());
  }
  close(err[1]);
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = read(err[0], buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
  close(err[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), text};
}

// Per entry of a tree: "mode uid:gid inode", then its content's digest or its link's text.
// FIFOs and devices are looked at, never read.
std::map<std::string, std::string> snapshot(const std::string& root_path) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root_path)) {
    const std::string path = entry.path().string();
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) continue;
    std::string text = std::to_string(info.st_mode) + " " + std::to_string(info.st_uid) + ":" +
                       std::to_string(info.st_gid) + " inode " + std::to_string(info.st_ino);
    if (S_ISREG(info.st_mode)) text.append(" ").append(sha256_hex(read_file(path)));
    if (S_ISLNK(info.st_mode)) text.append(" -> ").append(std::filesystem::read_symlink(path));
    entries[path.substr(root_path.size())] = text;
  }
  return entries;
}

// user::rw- group::rw- mask::rw- other::r--, in the kernel's layout: new files 0664 whatever
// the umask.
bool set_default_acl(const std::string& folder) {
  const uint32_t acl[] = {2, 0x60001, ~0u, 0x60004, ~0u, 0x60010, ~0u, 0x40020, ~0u};
  return setxattr(folder.c_str(), "system.posix_acl_default", acl, sizeof acl, 0) == 0;
}

// Every kind of thing an output path may meet, in one tree. Owners: c the caller, u the
// ordinary user (nobody for root, else the caller), r root, n nobody, who plants a link.
struct Thing {
  const char* path;
  char kind;  // d folder, a folder with a default ACL, f file, p FIFO, c device node, s socket,
              // l link, made by its owner
  char owner;
  mode_t mode;
  const char* link;  // a link's text; "@" stands for the tree's root
  bool root_only;    // files of two users, or a device node
};
const Thing things[] = {
    {"/secret", 'f', 'r', 0644, "", false},
    {"/mine", 'd', 'c', 0755, "", false},
    {"/mine/own.bmp", 'f', 'c', 0640, "", false},
    {"/mine/dir.bmp", 'd', 'c', 0755, "", false},
    {"/mine/fifo.bmp", 'p', 'c', 0666, "", false},
    {"/mine/null.bmp", 'c', 'c', 0666, "", true},
    {"/mine/socket.bmp", 's', 'c', 0755, "", false},
    {"/mine/link2.bmp", 'l', 'c', 0, "own.bmp", false},
    {"/mine/link.bmp", 'l', 'c', 0, "link2.bmp", false},
    {"/mine/to_dir.bmp", 'l', 'c', 0, "dir.bmp", false},
    {"/mine/to_fifo.bmp", 'l', 'c', 0, "fifo.bmp", false},
    {"/mine/dangling.bmp", 'l', 'c', 0, "missing.bmp", false},
    {"/mine/loop_a.bmp", 'l', 'c', 0, "loop_b.bmp", false},
    {"/mine/loop_b.bmp", 'l', 'c', 0, "loop_a.bmp", false},
    {"/mine/acl", 'a', 'c', 0755, "", false},
    {"/theirs", 'd', 'u', 0755, "", false},
    {"/theirs/read_only.bmp", 'f', 'u', 0444, "", false},
    {"/locked", 'd', 'u', 0555, "", false},
    {"/locked/open.bmp", 'f', 'u', 0666, "", false},
    {"/shared", 'd', 'r', 01777, "", true},
    {"/shared/roots.bmp", 'f', 'r', 0666, "", true},
    {"/shared/planted.bmp", 'l', 'n', 0, "@/secret", true},
    {"/shared/callers.bmp", 'l', 'c', 0, "@/mine/own.bmp", true},
    {"/shared/planted_dir", 'l', 'n', 0, "@/mine", true},
    {"/shared/planted_file.bmp", 'f', 'n', 0666, "", true},
    {"/users_shared", 'd', 'u', 01777, "", true},
    {"/users_shared/owners.bmp", 'l', 'u', 0, "@/mine/own.bmp", true},
    {"/users_shared/owners_file.bmp", 'f', 'u', 0666, "", true},
    {"/group_shared", 'd', 'r', 01770, "", true},
    {"/group_shared/planted_file.bmp", 'f', 'n', 0666, "", true},
};

// Builds the tree; false when the file system takes no default ACL.
bool build_scene(const std::string& at, Person caller, Person user) {
  chmod(at.c_str(), 0755);
  write_file(at + "/in.jpg", encode_jpeg(make_test_pixels(16, 8, 3, 5), 16, 8, {}));
  chmod((at + "/in.jpg").c_str(), 0644);
  bool acl = true;
  for (const Thing& t : things) {
    if (t.root_only && geteuid() != 0) continue;
    const std::string path = at + t.path;
    const Person owner = t.owner == 'c'   ? caller
                         : t.owner == 'u' ? user
                         : t.owner == 'n' ? nobody
                                          : root;
    const std::string text = t.link[0] == '@' ? at + (t.link + 1) : t.link;
    int made = 0;
    if (t.kind == 'l') {
      made = run_as(owner, [&] { return symlink(text.c_str(), path.c_str()); }).first;
    } else if (t.kind == 'd' || t.kind == 'a') {
      made = mkdir(path.c_str(), 0700);
      if (t.kind == 'a') acl = set_default_acl(path);
    } else if (t.kind == 'f') {
      write_file(path, Bytes{'o', 'l', 'd'});
    } else if (t.kind == 'p') {
      made = mkfifo(path.c_str(), 0600);
    } else if (t.kind == 'c') {
      made = mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 3));
    } else {
      sockaddr_un address{AF_UNIX, {}};
      snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
      const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
      made = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
      close(fd);
    }
    EXPECT_EQ(made, 0) << path;
    if (t.kind != 'l') {
      EXPECT_EQ(lchown(path.c_str(), owner.uid, owner.gid), 0) << path;
      chmod(path.c_str(), t.mode | S_IRWXU);  // open to its owner until it is filled
    }
  }
  // The final permissions last, so that a folder closed to writing was filled first.
  for (const Thing& t : things) {
    if (t.kind != 'l' && (!t.root_only || geteuid() == 0)) chmod((at + t.path).c_str(), t.mode);
  }
  return acl;
}

enum Outcome { created, replaced, refused };

struct Row {
  const char* description;
  const char* out;
  const char* target;  // what is written: the output, or where its links lead
  Outcome as_root, as_user;
  bool root_only;
  mode_t created_mode;
};
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
    {"a link to a folder, on the path", "/mine/to_dir.bmp/new.bmp", "/mine/dir.bmp/new.bmp",
     created, created, false, 0640},
    {"a link to a FIFO", "/mine/to_fifo.bmp", "", refused, refused, false, 0},
    {"a link to nothing", "/mine/dangling.bmp", "", refused, refused, false, 0},
    {"a link loop", "/mine/loop_a.bmp", "", refused, refused, false, 0},
    {"nobody's link to root's file in root's sticky folder", "/shared/planted.bmp", "", refused,
     refused, true, 0},
    {"the caller's link in root's sticky folder", "/shared/callers.bmp", "/mine/own.bmp", replaced,
     replaced, true, 0},
    {"the folder owner's link in the user's sticky folder", "/users_shared/owners.bmp",
     "/mine/own.bmp", replaced, replaced, true, 0},
    {"nobody's link to a folder, on the path in root's sticky folder",
     "/shared/planted_dir/new.bmp", "/mine/new.bmp", refused, created, true, 0640},
    {"nobody's file open to all in root's sticky folder", "/shared/planted_file.bmp",
     "/shared/planted_file.bmp", refused, replaced, true, 0},
    {"nobody's file open to all in root's sticky group-writable folder",
     "/group_shared/planted_file.bmp", "", refused, refused, true, 0},
    {"the folder owner's file open to all in the user's sticky folder",
     "/users_shared/owners_file.bmp", "/users_shared/owners_file.bmp", replaced, replaced, true, 0},
};

TEST(OutputSafety, WhatStandsAtThePathDecides) {
  TempDir reference;
  write_file(reference.path("in.jpg"), encode_jpeg(make_test_pixels(16, 8, 3, 5), 16, 8, {}));
  ASSERT_EQ(convert_files(reference.path("in.jpg"), reference.path("out.bmp")).result, 999);
  const Bytes want_bmp = read_file(reference.path("out.bmp"));
  const bool as_root = geteuid() == 0;
  const Person self{geteuid(), getegid()};
  std::vector<std::pair<std::string, Person>> callers = {{"root", root}, {"nobody", nobody}};
  if (!as_root) {
    callers = {{"this user", self}};
    printf("not root: the rows that need two users or a device node are skipped\n");
  }
  for (const auto& [name, caller] : callers) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.description) + ", as " + name);
      if (row.root_only && !as_root) continue;
      TempDir dir;
      const std::string at = dir.root();
      if (!build_scene(at, caller, as_root ? nobody : self) && row.created_mode == 0664) {
        printf("no default ACL on this file system: row skipped\n");
        continue;
      }
      const std::map<std::string, std::string> before = snapshot(at);
      // Opening a FIFO or a device node, even without blocking, is seen here.
      const int watch = inotify_init1(IN_NONBLOCK);
      for (const char* special : {"/mine/fifo.bmp", "/mine/null.bmp"}) {
        inotify_add_watch(watch, (at + special).c_str(), IN_OPEN | IN_ACCESS | IN_MODIFY);
      }
      const std::u16string in = utf16(at + "/in.jpg");
      const std::u16string out = utf16(at + row.out);
      const auto [status, err] =
          run_as(caller, [&] { return BMPSepia(in.c_str(), out.c_str()) == 999 ? 0 : 1; });
      char events[256];
      EXPECT_LE(read(watch, events, sizeof events), 0) << "a FIFO or device node was opened";
      close(watch);
      std::map<std::string, std::string> after = snapshot(at);
      chmod((at + "/locked").c_str(), 0755);  // for the clean-up of a test not run as root
      const Outcome want = caller.uid == 0 ? row.as_root : row.as_user;
      EXPECT_EQ(status, want == refused ? 1 : 0);
      EXPECT_EQ(err, want == refused ? "Error opening the output file.\n" : "");
      if (want == refused) {
        EXPECT_EQ(after, before);
        continue;
      }
      EXPECT_TRUE(read_file(at + row.target) == want_bmp) << "the target has not the picture";
      // A created file: the caller's, with a plain create's mode. A replaced one: the same
      // mode, owner and group as before. Nothing else changes, and nothing is left beside.
      const std::string old = before.count(row.target) != 0 ? before.at(row.target) : "";
      const std::string now = after[row.target];
      EXPECT_EQ(now.substr(0, now.find(" inode")),
                want == replaced
                    ? old.substr(0, old.find(" inode"))
                    : std::to_string(S_IFREG | row.created_mode) + " " +
                          std::to_string(caller.uid) + ":" + std::to_string(caller.gid));
      EXPECT_EQ(old.empty(), want == created);
      after.erase(row.target);
      std::map<std::string, std::string> others = before;
      others.erase(row.target);
      EXPECT_EQ(after, others);
    }
  }
}

// Halfway through the picture, tells the parent and waits to be killed.
void pause_half_way(void* context, int32_t y, uint8_t* bgr) {
  const char byte = 'h';
  if (y == 32 && write(*static_cast<const int*>(context), &byte, 1) == 1) pause();
  memset(bgr, 0, 3 * 8);
}

bool is_temp_name(const std::string& name) {
  return name.size() == 30 && name.starts_with(".bmpsepia-") && name.ends_with(".tmp") &&
         name.find_first_not_of("0123456789abcdef", 10) == 26;
}

// The new file is 0600 while written, even in a folder whose default ACL gives more; unnamed,
// it goes with a writer killed part way, and named, it stays under a random name.
TEST(OutputSafety, TheNewFileIsPrivateWhileWrittenAndGoesWithAKilledWriter) {
  for (const bool named : {false, true}) {
    for (const bool acl : {false, true}) {
      SCOPED_TRACE(std::string(named ? "named" : "unnamed") + (acl ? ", default ACL" : ""));
      TempDir dir;
      if (acl && !set_default_acl(dir.root())) continue;
      const std::string out = dir.path("out.bmp");
      write_file(out, Bytes{'o', 'l', 'd'});
      int half_way[2];
      ASSERT_EQ(pipe(half_way), 0);
      const pid_t writer = fork();
      if (writer == 0) {
        platform_name_temporaries(named);
        write_bmp_rows(out.c_str(), 8, 64, pause_half_way, &half_way[1], false);
        _exit(1);
      }
      char byte = 0;
      EXPECT_EQ(read(half_way[0], &byte, 1), 1);
      close(half_way[0]);
      close(half_way[1]);
      // The writer holds its file open: found through /proc, named or not.
      int32_t files = 0;
      const std::string fds = "/proc/" + std::to_string(writer) + "/fd";
      for (const auto& fd : std::filesystem::directory_iterator(fds)) {
        struct stat info;
        if (stat(fd.path().c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            std::filesystem::read_symlink(fd.path()).string().starts_with(dir.root())) {
          EXPECT_EQ(info.st_mode & 07777, 0600u) << "while written";
          ++files;
        }
      }
      EXPECT_EQ(files, 1);
      kill(writer, SIGKILL);
      waitpid(writer, nullptr, 0);
      EXPECT_EQ(read_file(out), (Bytes{'o', 'l', 'd'}));
      std::vector<std::string> left = list_dir(dir.root());
      std::erase(left, "out.bmp");
      EXPECT_EQ(left.size(), named ? 1u : 0u);
      for (const std::string& name : left) EXPECT_TRUE(is_temp_name(name)) << name;
    }
  }
}

}  // namespace
