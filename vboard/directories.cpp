// Directories and links of the virtual tree: directory streams over
// virtual directories (and the real ones the board adds names to, such as
// /dev for its spidev devices), readlink, and realpath through the virtual
// symbolic links, so that ls, find, shell globs and path libraries work.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "internal.h"

namespace vboard {

namespace {

// A stream the board made. Real names come first (from `real`), then
// the board's own; a virtual directory has only the board's.
struct board_dir {
  DIR *real = nullptr;
  int fd = -1;  // what dirfd gives: the stand-in of the directory, or real's
  std::string path;
  std::vector<dir_entry> names;
  std::set<std::string> seen;  // real names, so the board adds none twice
  std::size_t pos = 0;         // next of `names`
  long real_pos = 0;           // entries taken from `real`
  bool real_done = false;
  alignas(dirent64) unsigned char ent[sizeof(dirent64) + NAME_MAX + 1] = {};
};

std::set<void *> &open_dirs() {
  static std::set<void *> dirs;
  return dirs;
}
std::atomic<int> dirs_open{0};

std::uint64_t inode_of(const std::string &path) {
  struct stat st {};
  fill_stat(st, path.c_str(), S_IFREG);
  return st.st_ino;
}

// Asks every handler about `path`: 0 virtual (names filled), 2 real with
// extras, 1 nothing, -errno.
int list_names(const std::string &path, std::vector<dir_entry> &names) {
  int result = 1;
  for (std::size_t i = 0; i < provider_count(); ++i) {
    const provider &p = provider_at(i);
    if (p.list == nullptr) continue;
    std::vector<dir_entry> got;
    const int r = p.list(path.c_str(), got);
    if (r == 1) continue;
    if (r < 0 || r == 0) {
      names = std::move(got);
      return r;
    }
    names.insert(names.end(), got.begin(), got.end());
    result = 2;
  }
  return result;
}

board_dir *as_ours(void *d) {
  return open_dirs().count(d) != 0 ? static_cast<board_dir *>(d) : nullptr;
}

// A stream over `path` (normalised) when the board has anything to do with
// it; `fd` is the descriptor it was made from (fdopendir), or -1.
void *make_dir(const std::string &path, int fd, bool &handled) {
  std::vector<dir_entry> names;
  int r = 1;
  {
    board_lock lock;
    ensure_ready();
    if (is_missing(path)) {
      r = -ENOENT;
    } else {
      r = list_names(path, names);
    }
  }
  handled = r != 1;
  if (r == 1) return nullptr;
  if (r < 0) {
    errno = -r;
    return nullptr;
  }
  auto *d = new board_dir;
  d->path = path;
  d->names = std::move(names);
  if (r == 2) {
    d->real = fd >= 0 ? real_fdopendir(fd) : real_opendir(path.c_str());
    if (d->real == nullptr) {
      const int err = errno;
      delete d;
      errno = err;
      return nullptr;
    }
    d->fd = dirfd(d->real);
  } else if (fd >= 0) {
    d->fd = fd;
  } else {
    // A descriptor for dirfd, openat and fstatat relative to the stream.
    d->fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d->fd < 0) {
      const int err = errno;
      delete d;
      errno = err;
      return nullptr;
    }
  }
  board_lock lock;
  open_dirs().insert(d);
  dirs_open.fetch_add(1, std::memory_order_relaxed);
  return d;
}

template <typename Ent>
Ent *fill(board_dir &d, const dir_entry &e, long off) {
  auto *out = reinterpret_cast<Ent *>(d.ent);
  std::memset(out, 0, sizeof(Ent));
  out->d_ino = static_cast<decltype(out->d_ino)>(inode_of(d.path + "/" + e.name));
  out->d_off = off;
  out->d_type = e.type;
  const std::size_t n = std::min<std::size_t>(e.name.size(), NAME_MAX);
  std::memcpy(out->d_name, e.name.data(), n);
  out->d_name[n] = '\0';
  out->d_reclen = static_cast<unsigned short>(offsetof(Ent, d_name) + n + 1);
  return out;
}

}  // namespace

bool board_dirs_open() { return dirs_open.load(std::memory_order_relaxed) != 0; }

bool is_board_dir(void *dir) {
  board_lock lock;
  return as_ours(dir) != nullptr;
}

bool dir_may_be_virtual(const char *path) {
  if (path == nullptr || path[0] != '/') return false;
  const std::string norm = walk_path(path);
  for (std::size_t i = 0; i < provider_count(); ++i) {
    const std::string_view prefix(provider_at(i).prefix);
    // Under a prefix, or one of its parents (where the board adds names).
    if (norm.starts_with(prefix)) return true;
    if (prefix.starts_with(norm) && (norm == "/" || prefix[norm.size()] == '/')) return true;
  }
  return false;
}

void *dir_open(const char *path, bool &handled) {
  handled = false;
  if (!dir_may_be_virtual(path)) return nullptr;
  return make_dir(walk_path(path), -1, handled);
}

void *dir_from_fd(int fd, bool &handled) {
  handled = false;
  std::string path;
  {
    board_lock lock;
    ensure_ready();
    if (virtual_file(fd, &path) == nullptr) return nullptr;
  }
  return make_dir(path, fd, handled);
}

void *dir_read(void *dir, bool large) {
  board_dir *d = nullptr;
  {
    board_lock lock;
    d = as_ours(dir);
  }
  if (d == nullptr) return nullptr;
  if (d->real != nullptr && !d->real_done) {
    while (true) {
      if (large) {
        dirent64 *e = real_readdir64(d->real);
        if (e == nullptr) break;
        ++d->real_pos;
        d->seen.insert(e->d_name);
        return e;
      }
      dirent *e = real_readdir(d->real);
      if (e == nullptr) break;
      ++d->real_pos;
      d->seen.insert(e->d_name);
      return e;
    }
    d->real_done = true;
  }
  while (d->pos < d->names.size()) {
    const dir_entry &e = d->names[d->pos++];
    if (d->seen.count(e.name) != 0) continue;
    const long off = d->real_pos + static_cast<long>(d->pos);
    if (large) return fill<dirent64>(*d, e, off);
    return fill<dirent>(*d, e, off);
  }
  return nullptr;
}

int dir_close(void *dir) {
  board_dir *d = nullptr;
  {
    board_lock lock;
    d = as_ours(dir);
    if (d == nullptr) return 1;
    open_dirs().erase(dir);
    dirs_open.fetch_sub(1, std::memory_order_relaxed);
  }
  int r = 0;
  if (d->real != nullptr) {
    r = real_closedir(d->real);
  } else if (d->fd >= 0) {
    r = close(d->fd);
  }
  delete d;
  return r;
}

int dir_fd(void *dir) {
  board_lock lock;
  board_dir *d = as_ours(dir);
  return d != nullptr ? d->fd : -2;
}

void dir_rewind(void *dir) {
  board_dir *d = nullptr;
  {
    board_lock lock;
    d = as_ours(dir);
  }
  if (d == nullptr) return;
  if (d->real != nullptr) rewinddir(d->real);
  d->real_done = false;
  d->real_pos = 0;
  d->seen.clear();
  d->pos = 0;
}

long dir_tell(void *dir) {
  board_lock lock;
  board_dir *d = as_ours(dir);
  if (d == nullptr) return -1;
  return d->real_pos + static_cast<long>(d->pos);
}

void dir_seek(void *dir, long pos) {
  dir_rewind(dir);
  // Positions count entries from the start; replaying keeps them valid
  // whatever the real directory's own cookies are.
  for (long i = 0; i < pos; ++i) {
    if (dir_read(dir, true) == nullptr) break;
  }
}

ssize_t v_readlink(int dirfd, const char *path, char *buf, std::size_t size) {
  std::string full, norm;
  if (!virtual_path(dirfd, path, full)) return -2;
  const provider *prov = provider_for(full.c_str(), norm);
  if (prov == nullptr) return -2;
  std::string target;
  int r = 1;
  {
    board_lock lock;
    ensure_ready();
    if (is_missing(norm)) {
      r = -ENOENT;
    } else if (names_directory(full.c_str())) {
      // "link/" names the folder the link leads to, which is no link.
      struct stat st {};
      r = prov->stat(norm.c_str(), st, true);
      if (r == 0) r = S_ISDIR(st.st_mode) ? -EINVAL : -ENOTDIR;
    } else if (prov->readlink != nullptr) {
      r = prov->readlink(norm.c_str(), target);
    } else {
      struct stat st {};
      r = prov->stat(norm.c_str(), st, false);
      if (r == 0) r = -EINVAL;  // exists, and is no link
    }
  }
  if (r == 1) return -2;
  if (r < 0) return fail(-r);
  const std::size_t n = std::min(size, target.size());
  std::memcpy(buf, target.data(), n);
  return static_cast<ssize_t>(n);
}

char *v_realpath(const char *path, char *resolved, bool &handled) {
  handled = false;
  if (path == nullptr || path[0] != '/') return nullptr;
  std::string norm;
  if (provider_for(path, norm) == nullptr && !dir_may_be_virtual(path)) return nullptr;
  handled = true;
  // Walks the path a component at a time, replacing each link by its
  // target, as the kernel's path walk does.
  std::vector<std::string> todo;
  for (auto part : config::split(path, '/')) {
    if (!part.empty()) todo.emplace_back(part);
  }
  std::reverse(todo.begin(), todo.end());
  std::string done;
  int links = 0;
  while (!todo.empty()) {
    const std::string part = todo.back();
    todo.pop_back();
    if (part == ".") continue;
    if (part == "..") {
      const auto slash = done.rfind('/');
      done = slash == std::string::npos ? "" : done.substr(0, slash);
      continue;
    }
    const std::string next = done + "/" + part;
    struct stat st {};
    if (lstat(next.c_str(), &st) != 0) return nullptr;
    if (S_ISLNK(st.st_mode)) {
      if (++links > 40) {
        errno = ELOOP;
        return nullptr;
      }
      char target[PATH_MAX];
      const ssize_t n = readlink(next.c_str(), target, sizeof target);
      if (n < 0) return nullptr;
      const std::string t(target, static_cast<std::size_t>(n));
      std::vector<std::string> parts;
      for (auto p : config::split(t, '/')) {
        if (!p.empty()) parts.emplace_back(p);
      }
      for (auto it = parts.rbegin(); it != parts.rend(); ++it) todo.push_back(*it);
      if (!t.empty() && t[0] == '/') done.clear();
      continue;
    }
    if (!todo.empty() && !S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      return nullptr;
    }
    done = next;
  }
  if (done.empty()) done.push_back('/');
  if (done.size() >= PATH_MAX) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  char *out = resolved != nullptr ? resolved : static_cast<char *>(std::malloc(PATH_MAX));
  if (out == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  std::memcpy(out, done.c_str(), done.size() + 1);
  return out;
}

}  // namespace vboard
