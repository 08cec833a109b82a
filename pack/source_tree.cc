#include "pack/source_tree.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <utility>

#include "extract/entry_rules.h"

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

std::string file_kind(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISFIFO(mode)) return "a fifo";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return "a special file";
}

namespace {

// The canonical path of `path`, or an empty text when it cannot be resolved.
std::string real_path(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr), &std::free);
  return resolved ? std::string(resolved.get()) : std::string();
}

// The text a symbolic link holds, or false with errno set. Targets longer than the stub takes
// are cut to one byte more than that, which is enough to refuse them.
bool read_link(const std::string& path, std::string& target) {
  target.assign(ENTRY_LINK_TARGET_MAX + 1, '\0');
  const ssize_t length = readlink(path.c_str(), target.data(), target.size());
  if (length < 0) return false;
  target.resize(static_cast<std::size_t>(length));
  return true;
}

class TreeWalker {
 public:
  TreeWalker(std::string root_real, std::optional<std::int64_t> time_cap, bool follow_links,
             std::vector<PackEntry>& entries)
      : root_real_(std::move(root_real)),
        time_cap_(time_cap),
        follow_links_(follow_links),
        entries_(entries) {}

  // Lists the directory `dir` (stored under `prefix`, empty or ending in "/"); `ancestors`
  // holds the identities of the directories being walked, to stop at a symbolic-link loop.
  Status walk(const std::string& dir, const std::string& prefix,
              std::vector<std::pair<dev_t, ino_t>>& ancestors) {
    std::unique_ptr<DIR, DirCloser> handle(opendir(dir.c_str()));
    if (!handle)
      return Status::input_fault("cannot read " + quoted(dir) + ": " + error_text(errno));
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = readdir(handle.get())) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
      errno = 0;
    }
    if (errno != 0)
      return Status::input_fault("cannot read " + quoted(dir) + ": " + error_text(errno));
    handle.reset();
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      Status status = add(dir + "/" + name, prefix + name, ancestors);
      if (!status.is_ok()) return status;
    }
    return Status::ok();
  }

 private:
  Status add(const std::string& path, const std::string& stored,
             std::vector<std::pair<dev_t, ino_t>>& ancestors) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) {
      return Status::input_fault("cannot read " + quoted(path) + ": " + error_text(errno));
    }
    if (S_ISLNK(info.st_mode) && !follow_links_) return add_link(path, stored, info);
    if (S_ISLNK(info.st_mode)) {
      if (stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
          return Status::input_fault(quoted(path) + " is a symbolic link that leads nowhere");
        }
        if (errno == ELOOP) {
          return Status::input_fault(quoted(path) + " is a symbolic link that loops");
        }
        return Status::input_fault("cannot follow " + quoted(path) + ": " + error_text(errno));
      }
      if (S_ISDIR(info.st_mode)) {
        const std::string target = real_path(path);
        if (target.empty()) {
          return Status::input_fault("cannot follow " + quoted(path) + ": " + error_text(errno));
        }
        if (!is_inside(target)) {
          return Status::input_fault(quoted(path) + " is a symbolic link to the directory " +
                                     quoted(target) + " outside the source directory");
        }
      }
    }
    const std::string name = S_ISDIR(info.st_mode) ? stored + "/" : stored;
    PackEntry entry;
    Status status = start_entry(name, path, info, entry);
    if (!status.is_ok()) return status;
    if (S_ISREG(info.st_mode)) {
      if (static_cast<std::uint64_t>(info.st_size) > MAX_ENTRY_SIZE) {
        return Status::input_fault(quoted(path) + " is " + std::to_string(info.st_size) +
                                   " bytes long; the stub unpacks files of at most " +
                                   std::to_string(MAX_ENTRY_SIZE) + " bytes");
      }
      entry.mode = S_IFREG | (info.st_mode & 07777);
      entry.size = static_cast<std::uint64_t>(info.st_size);
      entries_.push_back(std::move(entry));
      return Status::ok();
    }
    if (!S_ISDIR(info.st_mode)) {
      return Status::input_fault(quoted(path) + " is " + file_kind(info.st_mode) +
                                 "; only files and directories can be packed");
    }
    const std::pair<dev_t, ino_t> identity(info.st_dev, info.st_ino);
    if (std::find(ancestors.begin(), ancestors.end(), identity) != ancestors.end()) {
      return Status::input_fault(quoted(path) +
                                 " is a symbolic link to a directory that contains it");
    }
    entry.is_directory = true;
    entry.mode = S_IFDIR | (info.st_mode & 07777);
    entries_.push_back(std::move(entry));
    ancestors.push_back(identity);
    status = walk(path, name, ancestors);
    ancestors.pop_back();
    return status;
  }

  // The fields every entry has; refuses a name the stub cannot carry and one entry too many.
  Status start_entry(const std::string& name, const std::string& path, const struct stat& info,
                     PackEntry& entry) const {
    const std::string fault = stored_name_fault(name);
    if (!fault.empty()) return Status::input_fault(fault);
    if (entries_.size() >= MAX_ENTRY_COUNT) {
      return Status::input_fault("the source holds more than " + std::to_string(MAX_ENTRY_COUNT) +
                                 " files and directories, the most the stub unpacks");
    }
    entry.name = name;
    entry.path = path;
    entry.mtime = time_cap_ ? std::min<std::int64_t>(info.st_mtime, *time_cap_) : info.st_mtime;
    entry.seen_mtime = info.st_mtim;
    entry.seen_device = info.st_dev;
    entry.seen_inode = info.st_ino;
    return Status::ok();
  }

  bool is_inside(const std::string& real) const {
    return real == root_real_ || root_real_ == "/" || real.rfind(root_real_ + "/", 0) == 0;
  }

  // For a link that leads nowhere: whether the part of its way that exists lies inside. What
  // does not exist yet holds no link that could lead elsewhere.
  bool existing_way_is_inside(const std::string& path, const std::string& target) const {
    std::string way = path.substr(0, path.rfind('/') + 1) + target;
    for (;;) {
      while (way.size() > 1 && way.back() == '/') way.pop_back();
      const std::size_t slash = way.rfind('/');
      if (slash == std::string::npos || slash == 0) return false;
      way.resize(slash);
      const std::string real = real_path(way);
      if (!real.empty()) return is_inside(real);
    }
  }

  // A symbolic link, stored as a link: what it leads to must lie inside the source, and its
  // target must be one the stub makes.
  Status add_link(const std::string& path, const std::string& stored, const struct stat& info) {
    std::string target;
    if (!read_link(path, target)) {
      return Status::input_fault("cannot read " + quoted(path) + ": " + error_text(errno));
    }
    const std::string real = real_path(path);
    bool inside = false;
    if (!real.empty()) {
      inside = is_inside(real);
    } else if (errno == ELOOP) {
      return Status::input_fault(quoted(path) + " is a symbolic link that loops");
    } else if (errno == ENOENT || errno == ENOTDIR) {
      inside = existing_way_is_inside(path, target);
    } else {
      return Status::input_fault("cannot follow " + quoted(path) + ": " + error_text(errno));
    }
    if (!inside) {
      return Status::input_fault(quoted(path) + " is a symbolic link to " + quoted(target) +
                                 ", outside the source directory (-L packs what it points to)");
    }
    // Links are stored as links, so the archive holds a link wherever the source does.
    const IsLinkPath is_link = [this](const std::string& way) {
      struct stat seen;
      return lstat((root_real_ + "/" + way).c_str(), &seen) == 0 && S_ISLNK(seen.st_mode);
    };
    if (!is_safe_link_target(stored, target, is_link)) {
      return Status::input_fault(quoted(path) + " is a symbolic link to " + quoted(target) +
                                 ", which the stub does not make: a target must be relative, and "
                                 "its \"..\" parts may neither leave the source directory on "
                                 "the way nor climb out of a link (-L packs what it points to)");
    }
    PackEntry entry;
    Status status = start_entry(stored, path, info, entry);
    if (!status.is_ok()) return status;
    entry.is_link = true;
    entry.mode = S_IFLNK | (info.st_mode & 07777);
    entry.size = target.size();
    entry.link_target = std::move(target);
    entries_.push_back(std::move(entry));
    return Status::ok();
  }

  const std::string root_real_;
  const std::optional<std::int64_t> time_cap_;
  const bool follow_links_;
  std::vector<PackEntry>& entries_;
};

}  // namespace

std::string stored_name_fault(const std::string& name) {
  if (name.size() > MAX_STORED_NAME) {
    return "the stored name " + quoted(name) + " is " + std::to_string(name.size()) +
           " bytes long; the stub unpacks names of at most " + std::to_string(MAX_STORED_NAME) +
           " bytes";
  }
  if (name.find('\\') != std::string::npos) {
    return "the stored name " + quoted(name) +
           " holds a backslash, which the stub takes for a directory separator";
  }
  return {};
}

Status scan_source(const std::string& source, std::optional<std::int64_t> time_cap,
                   bool follow_links, std::vector<PackEntry>& entries) {
  entries.clear();
  std::string dir = source;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  struct stat info;
  if (stat(dir.c_str(), &info) != 0) {
    return Status::input_fault("cannot read " + quoted(source) + ": " + error_text(errno));
  }
  if (!S_ISDIR(info.st_mode)) return Status::input_fault(quoted(source) + " is not a directory");
  const std::string root_real = real_path(dir);
  if (root_real.empty()) {
    return Status::input_fault("cannot resolve " + quoted(source) + ": " + error_text(errno));
  }
  std::vector<std::pair<dev_t, ino_t>> ancestors{{info.st_dev, info.st_ino}};
  TreeWalker walker(root_real, time_cap, follow_links, entries);
  Status status = walker.walk(dir, "", ancestors);
  if (!status.is_ok()) return status;
  // Each directory's listing is sorted, but "a/x" must still come after "a.txt": sort the
  // whole list by stored name.
  std::sort(entries.begin(), entries.end(),
            [](const PackEntry& a, const PackEntry& b) { return a.name < b.name; });
  return Status::ok();
}
