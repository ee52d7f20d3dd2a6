#include "platform/app/extension/SharedItems.hpp"

#include <array>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/UTType.hpp"

namespace platform {
namespace {

bool isFolder(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::shared_ptr<ItemProvider> linkProvider(const std::string& text) {
  auto provider = std::make_shared<ItemProvider>();
  const auto url = Url::parse(text);
  provider->registerURL("public.url", [url](const ItemProvider::Completion& done) {
    if (url) {
      done(url, std::nullopt);
    } else {
      done(std::nullopt, std::make_error_code(std::errc::invalid_argument));
    }
  });
  return provider;
}

// --type names the content type by identifier ("public.mp3") or by MIME type ("audio/mpeg"). A
// MIME type the table does not know stays as given: no type conforms to it, as to an unknown
// identifier.
std::string typeIdentifier(const std::optional<std::string>& type) {
  if (!type) return UTType::data().identifier();
  if (type->find('/') != std::string::npos) {
    if (const auto known = UTType::forMIMEType(*type)) return known->identifier();
  }
  return *type;
}

std::shared_ptr<ItemProvider> dataProvider(const ShareArguments& arguments,
                                           const StandardInputData& data) {
  auto provider = std::make_shared<ItemProvider>();
  provider->registerFileRepresentation(typeIdentifier(arguments.type),
                                       [data](const ItemProvider::Completion& done) {
                                         if (data.file) {
                                           done(data.file, std::nullopt);
                                         } else {
                                           done(std::nullopt, data.error);
                                         }
                                       });
  provider->setSuggestedName(arguments.name);
  return provider;
}

}  // namespace

StandardInputData saveStandardInput(const Url& folder) {
  const Url file = folder.appendingPathComponent("standard input");
  const int out = ::open(file.path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) return {std::nullopt, std::error_code(errno, std::generic_category())};
  std::array<char, 1 << 16> buffer{};
  int error = 0;
  while (error == 0) {
    const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno != EINTR) error = errno;
      continue;
    }
    for (ssize_t done = 0; done < n && error == 0;) {
      const ssize_t written =
          ::write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
      if (written < 0 && errno != EINTR) error = errno;
      if (written > 0) done += written;
    }
  }
  if (::close(out) != 0 && error == 0) error = errno;
  if (error != 0) return {std::nullopt, std::error_code(error, std::generic_category())};
  return {file, std::nullopt};
}

std::vector<std::shared_ptr<InputItem>> sharedItems(const ShareArguments& arguments,
                                                    const StandardInputData& standardInput) {
  std::vector<std::shared_ptr<InputItem>> items;
  for (const auto& argument : arguments.items) {
    std::shared_ptr<ItemProvider> provider;
    switch (argument.kind) {
      case ShareArguments::Item::Kind::file:
        provider = ItemProvider::forFile(Url::fileURL(argument.text, isFolder(argument.text)));
        break;
      case ShareArguments::Item::Kind::link:
        provider = linkProvider(argument.text);
        break;
      case ShareArguments::Item::Kind::standardInput:
        provider = dataProvider(arguments, standardInput);
        break;
    }
    auto item = std::make_shared<ExtensionItem>();
    item->setAttachments(std::vector{provider});
    items.push_back(std::move(item));
  }
  return items;
}

}  // namespace platform
