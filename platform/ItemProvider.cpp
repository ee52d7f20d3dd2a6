#include "platform/ItemProvider.hpp"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include <fcntl.h>
#include <linux/fs.h>
#include <stdlib.h>
#include <sys/ioctl.h>
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

// `fd`'s file under `name` in `folder` as a clone sharing its blocks, where the file system can
// clone; none, with nothing left behind, where it cannot.
bool cloneInto(int fd, mode_t mode, int folder, const std::string& name) {
  posix::FileDescriptor clone =
      posix::openAt(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
  if (!clone.valid()) return false;
  const bool cloned = ::ioctl(clone.get(), FICLONE, fd) == 0 && ::fchmod(clone.get(), mode) == 0;
  if (::close(clone.release()) != 0 || !cloned) {
    ::unlinkat(folder, name.c_str(), 0);
    return false;
  }
  return true;
}

// The handed file's data under `copy`, at no cost of disk where the system allows: a clone, else
// a hard link, else a full copy. A folder is copied; what is neither file nor folder (a pipe, a
// socket, a device) is refused with EINVAL, without waiting for a writer.
void placeTemporary(const Url& original, const Url& copy) {
  constexpr std::string_view operation = "hand over";
  const std::string path = posix::requireLocalPath(original, operation);
  struct stat info {};
  const posix::FileDescriptor source = posix::openFileOrFolder(path.c_str(), info);
  if (!source.valid()) posix::throwSystemError(errno, operation, path);
  if (S_ISDIR(info.st_mode)) return fileManager::copyItem(original, copy);

  const posix::FileDescriptor folder = posix::openAt(
      AT_FDCWD, copy.deletingLastPathComponent().path().c_str(), O_RDONLY | O_DIRECTORY);
  const std::string name = copy.lastPathComponent();
  if (folder.valid() && (cloneInto(source.get(), info.st_mode & 0777, folder.get(), name) ||
                         posix::linkDescriptorAt(source.get(), folder.get(), name.c_str()) == 0)) {
    return;
  }
  fileManager::copyItem(original, copy);
}

// The handed file's data, named like it, in a folder of its own (see placeTemporary()). Removed
// with its folder when the object goes.
class TemporaryCopy {
 public:
  explicit TemporaryCopy(const Url& original)
      : folder_(makePrivateFolder()),
        copy_(folder_.appendingPathComponent(original.lastPathComponent(),
                                             original.hasDirectoryPath())) {
    try {
      placeTemporary(original, copy_);
    } catch (...) {
      removeFolder();
      throw;
    }
  }
  ~TemporaryCopy() { removeFolder(); }
  TemporaryCopy(const TemporaryCopy&) = delete;
  TemporaryCopy& operator=(const TemporaryCopy&) = delete;

  const Url& url() const { return copy_; }

 private:
  void removeFolder() noexcept {
    try {
      fileManager::removeItem(folder_);
    } catch (...) {
      // The receiver has had its result; a folder that will not go stays behind.
    }
  }

  Url folder_;
  Url copy_;
};

// Calls `completion` with a temporary copy of the handed file, which exists only until the
// completion has returned; or with none and the error.
void deliverTemporaryCopy(const std::optional<Url>& handed, std::optional<std::error_code> error,
                          const ItemProvider::Completion& completion) {
  std::shared_ptr<const TemporaryCopy> copy;
  if (handed && !handed->isFileURL()) {
    error = std::make_error_code(std::errc::invalid_argument);
  } else if (handed) {
    try {
      copy = std::make_shared<const TemporaryCopy>(*handed);
    } catch (const std::system_error& failure) {
      error = failure.code();
    }
  }
  deliverOffMain([copy = std::move(copy), error, completion] {
    completion(copy ? std::optional<Url>(copy->url()) : std::nullopt, error);
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
      deliverTemporaryCopy(handed, error, completion);
    });
  });
}

}  // namespace platform
