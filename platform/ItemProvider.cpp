#include "platform/ItemProvider.hpp"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/FileManager.hpp"
#include "platform/MainThread.hpp"
#include "platform/UTType.hpp"
#include "platform/detail/ItemProviderObserver.hpp"
#include "platform/detail/Posix.hpp"
#include "platform/detail/ThreadsOnDemand.hpp"

namespace platform {
namespace {

ThreadsOnDemand& loadThreads() {
  // Completions hand their results to the main loop: make it first, so that it is destroyed
  // after these threads have been joined at exit.
  static asio::io_context& mainLoop = mainContext();
  static ThreadsOnDemand threads{4};
  (void)mainLoop;
  return threads;
}

// Observers of receiving-side calls, for tests, kept beside the providers so that the class
// carries none. Never destroyed: a provider may go after static destruction has begun.
struct ReceivingObservers {
  std::mutex mutex;
  std::unordered_map<const ItemProvider*, std::function<void(std::string_view)>> byProvider;
};

ReceivingObservers& receivingObservers() {
  static auto* observers = new ReceivingObservers;
  return *observers;
}

void tellReceivingObserver(const ItemProvider& provider, std::string_view call) {
  std::function<void(std::string_view)> observer;
  {
    auto& observers = receivingObservers();
    const std::lock_guard lock(observers.mutex);
    const auto found = observers.byProvider.find(&provider);
    if (found == observers.byProvider.end()) return;
    observer = found->second;
  }
  observer(call);
}

// Runs `job` on a load thread. Posting is the caller's last step, so nothing of the load call is
// left to run when the job starts. Until the job has run, or been dropped, the main loop expects
// its result soon.
void runInBackground(std::function<void()> job) {
  loadThreads().post(
      [coming = std::make_shared<detail::ResultComing>(), job = std::move(job)] { job(); });
}

// Calls `delivery` on a load thread: at once when the loader answered on one, and posted there
// when it answered on the main thread, which a completion must never run on.
void deliverOffMain(std::function<void()> delivery) {
  if (isMainThread()) {
    runInBackground(std::move(delivery));
  } else {
    delivery();
  }
}

// True when the registered identifier is the asked one or names a type conforming to it. An
// identifier that names no known type matches only itself.
bool matches(const std::string& registered, std::string_view asked,
             const std::optional<UTType>& askedType) {
  if (registered == asked) return true;
  if (!askedType) return false;
  const auto registeredType = UTType::withIdentifier(registered);
  return registeredType && registeredType->conforms(*askedType);
}

// A fresh folder of its own under the temporary folder, readable to this user only.
Url makePrivateFolder() {
  return Url::fileURL(posix::makeTemporaryFolder("item-provider-"), /*isDirectory=*/true);
}

// The path through which this process reads again the file or folder open on `fd`, whose status
// is `info`: its /proc/self/fd link. None where /proc is not mounted, or shows another file.
std::optional<std::string> descriptorPath(int fd, const struct stat& info) {
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  struct stat seen {};
  if (::stat(path.c_str(), &seen) != 0 || seen.st_dev != info.st_dev ||
      seen.st_ino != info.st_ino) {
    return std::nullopt;
  }
  return path;
}

// A handed file or folder, to be read by the receiver in place: opened once, read-only, and
// offered under its own name in a private folder, as a symbolic link to the open descriptor. So
// the file that was checked is the file read, though its name be taken meanwhile, and none of its
// data is copied: a recording the receiver cannot take costs no space in the temporary folder.
// Where /proc is missing, the link names the original's path. What is neither file nor folder (a
// pipe, a socket, a device) is refused with EINVAL, without waiting for a writer. The folder, and
// the descriptor, go with the object.
class HandedFile {
 public:
  explicit HandedFile(const Url& original)
      : source_(open(original, info_)),
        folder_(makePrivateFolder()),
        location_(
            folder_.appendingPathComponent(original.lastPathComponent(), S_ISDIR(info_.st_mode))) {
    const std::string target = descriptorPath(source_.get(), info_).value_or(original.path());
    if (::symlink(target.c_str(), location_.path().c_str()) != 0) {
      const int error = errno;
      removeFolder();
      posix::throwSystemError(error, operation, location_.path());
    }
  }
  ~HandedFile() { removeFolder(); }
  HandedFile(const HandedFile&) = delete;
  HandedFile& operator=(const HandedFile&) = delete;

  const Url& url() const { return location_; }

 private:
  static constexpr std::string_view operation = "hand over";

  static posix::FileDescriptor open(const Url& original, struct stat& info) {
    const std::string path = posix::requireLocalPath(original, operation);
    posix::FileDescriptor opened = posix::openFileOrFolder(path.c_str(), info);
    if (!opened.valid()) posix::throwSystemError(errno, operation, path);
    return opened;
  }

  void removeFolder() noexcept {
    try {
      fileManager::removeItem(folder_);
    } catch (...) {
      // The receiver has had its result; a folder that will not go stays behind.
    }
  }

  struct stat info_ {};
  posix::FileDescriptor source_;
  Url folder_;
  Url location_;
};

// Calls `completion` with the location of the handed file (see HandedFile), valid only until the
// completion has returned; or with none and the error.
void deliverHandedFile(const std::optional<Url>& handed, std::optional<std::error_code> error,
                       const ItemProvider::Completion& completion) {
  std::shared_ptr<const HandedFile> file;
  if (handed && !handed->isFileURL()) {
    error = std::make_error_code(std::errc::invalid_argument);
  } else if (handed) {
    try {
      file = std::make_shared<const HandedFile>(*handed);
    } catch (const std::system_error& failure) {
      error = failure.code();
    }
  }
  deliverOffMain([file = std::move(file), error, completion] {
    completion(file ? std::optional<Url>(file->url()) : std::nullopt, error);
  });
}

}  // namespace

void detail::setReceivingObserver(const ItemProvider& provider,
                                  std::function<void(std::string_view)> observer) {
  auto& observers = receivingObservers();
  const std::lock_guard lock(observers.mutex);
  if (observer) {
    observers.byProvider[&provider] = std::move(observer);
  } else {
    observers.byProvider.erase(&provider);
  }
}

ItemProvider::ItemProvider() = default;
ItemProvider::~ItemProvider() { detail::setReceivingObserver(*this, nullptr); }

std::shared_ptr<ItemProvider> ItemProvider::forFile(const Url& file) {
  auto provider = std::make_shared<ItemProvider>();
  const auto type = UTType::forFilenameExtension(file.pathExtension(), UTType::data());
  const Loader handOverFile = [file](const Completion& completion) {
    completion(file, std::nullopt);
  };
  provider->registerURL(UTType::fileURL().identifier(), handOverFile);
  provider->registerFileRepresentation(type.value_or(UTType::data()).identifier(), handOverFile);
  provider->setSuggestedName(file.deletingPathExtension().lastPathComponent());
  return provider;
}

void ItemProvider::registerURL(std::string typeIdentifier, Loader loader) {
  registrations_.push_back({std::move(typeIdentifier), std::move(loader), /*isFile=*/false});
}

void ItemProvider::registerFileRepresentation(std::string typeIdentifier, Loader loader) {
  registrations_.push_back({std::move(typeIdentifier), std::move(loader), /*isFile=*/true});
}

void ItemProvider::setSuggestedName(std::optional<std::string> name) {
  suggestedName_ = std::move(name);
}

std::vector<std::string> ItemProvider::registeredTypeIdentifiers() const {
  tellReceivingObserver(*this, "registeredTypeIdentifiers");
  std::vector<std::string> identifiers;
  for (const auto& registration : registrations_) {
    if (std::find(identifiers.begin(), identifiers.end(), registration.typeIdentifier) ==
        identifiers.end()) {
      identifiers.push_back(registration.typeIdentifier);
    }
  }
  return identifiers;
}

bool ItemProvider::hasItemConformingToTypeIdentifier(std::string_view typeIdentifier) const {
  tellReceivingObserver(*this, "hasItemConformingToTypeIdentifier");
  const auto askedType = UTType::withIdentifier(typeIdentifier);
  return std::any_of(registrations_.begin(), registrations_.end(), [&](const auto& registration) {
    return matches(registration.typeIdentifier, typeIdentifier, askedType);
  });
}

void ItemProvider::loadURL(Completion completion) {
  tellReceivingObserver(*this, "loadURL");
  const auto registration = std::find_if(registrations_.begin(), registrations_.end(),
                                         [](const auto& candidate) { return !candidate.isFile; });
  if (registration == registrations_.end()) {
    return runInBackground([completion = std::move(completion)] {
      completion(std::nullopt, std::make_error_code(std::errc::operation_not_supported));
    });
  }
  runInBackground([loader = registration->loader, completion = std::move(completion)] {
    loader([completion](std::optional<Url> url, std::optional<std::error_code> error) {
      deliverOffMain([completion, url = std::move(url), error] { completion(url, error); });
    });
  });
}

void ItemProvider::finishLoads() { loadThreads().join(); }

std::optional<std::string> ItemProvider::suggestedName() const {
  tellReceivingObserver(*this, "suggestedName");
  return suggestedName_;
}

void ItemProvider::loadFileRepresentation(std::string_view typeIdentifier, Completion completion) {
  tellReceivingObserver(*this, "loadFileRepresentation");
  const auto askedType = UTType::withIdentifier(typeIdentifier);
  const auto registration =
      std::find_if(registrations_.begin(), registrations_.end(), [&](const auto& candidate) {
        return candidate.isFile && matches(candidate.typeIdentifier, typeIdentifier, askedType);
      });
  if (registration == registrations_.end()) {
    return runInBackground([completion = std::move(completion)] {
      completion(std::nullopt, std::make_error_code(std::errc::operation_not_supported));
    });
  }
  runInBackground([loader = registration->loader, completion = std::move(completion)] {
    loader([completion](const std::optional<Url>& handed, std::optional<std::error_code> error) {
      deliverHandedFile(handed, error, completion);
    });
  });
}

}  // namespace platform
