#include "platform/app/extension/SharedItems.hpp"

#include <utility>

#include <sys/stat.h>

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
                                           std::shared_ptr<StandardInputSpool> spool) {
  auto provider = std::make_shared<ItemProvider>();
  provider->registerFileRepresentation(
      typeIdentifier(arguments.type),
      [spool = std::move(spool)](const ItemProvider::Completion& done) {
        if (!spool) {  // the runtime had no folder to keep the data in
          done(std::nullopt, std::make_error_code(std::errc::no_such_file_or_directory));
          return;
        }
        const auto spooled = spool->file();
        done(spooled.file, spooled.error);
      });
  provider->setSuggestedName(arguments.name);
  return provider;
}

}  // namespace

std::vector<std::shared_ptr<InputItem>> sharedItems(
    const ShareArguments& arguments, const std::shared_ptr<StandardInputSpool>& standardInput) {
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
