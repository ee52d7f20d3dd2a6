#include "tests/reference-app/ReferenceAppFixture.hpp"

#include <sstream>
#include <thread>

#include <gio/gio.h>

namespace reference_test {

using namespace std::chrono_literals;

Shown shownIn(const std::string& output) {
  Shown shown;
  std::stringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("received: ")) shown.received.emplace_back(line.substr(10));
    if (line.starts_with("problem: ")) shown.problems.push_back(line.substr(9));
    if (line.starts_with("refused: ")) shown.refused.push_back(line.substr(9));
  }
  return shown;
}

namespace {

std::size_t count(const Shown& shown) {
  return shown.received.size() + shown.problems.size() + shown.refused.size();
}

template <class Lines>
void dropFirst(Lines& lines, std::size_t number) {
  lines.erase(lines.begin(), lines.begin() + static_cast<long>(number));
}

}  // namespace

Shown waitForShown(const RunningShare& app, const Shown& before, std::size_t wanted) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (true) {
    auto now = shownIn(app.output());
    if (count(now) >= count(before) + wanted || std::chrono::steady_clock::now() > deadline) {
      dropFirst(now.received, before.received.size());
      dropFirst(now.problems, before.problems.size());
      dropFirst(now.refused, before.refused.size());
      return now;
    }
    std::this_thread::sleep_for(50ms);
  }
}

bool waitUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

OpenAnswer callOpen(const std::string& busAddress, const OpenCall& call) {
  GError* error = nullptr;
  GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
      busAddress.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  if (bus == nullptr) {
    OpenAnswer failed{error->message};
    g_error_free(error);
    return failed;
  }
  GVariantBuilder uris;
  g_variant_builder_init(&uris, G_VARIANT_TYPE("as"));
  for (const auto& uri : call.uris) g_variant_builder_add(&uris, "s", uri.c_str());
  GVariantBuilder data;
  g_variant_builder_init(&data, G_VARIANT_TYPE("a{sv}"));
  for (const auto& [key, value] : call.platformData) {
    g_variant_builder_add(&data, "{sv}", key.c_str(), g_variant_new_string(value.c_str()));
  }
  const auto start = std::chrono::steady_clock::now();
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "com.brenvik.kelpword", "/com/brenvik/kelpword", "org.freedesktop.Application", "Open",
      g_variant_new("(asa{sv})", &uris, &data), nullptr, G_DBUS_CALL_FLAGS_NONE, 20000, nullptr,
      &error);
  OpenAnswer answer;
  answer.took = std::chrono::steady_clock::now() - start;
  if (reply != nullptr) g_variant_unref(reply);
  if (error != nullptr) {
    answer.error = error->message;
    g_error_free(error);
  }
  g_object_unref(bus);
  return answer;
}

std::string uriOf(const fs::path& file) {
  gchar* uri = g_filename_to_uri(file.c_str(), nullptr, nullptr);
  std::string text = uri != nullptr ? uri : "";
  g_free(uri);
  return text;
}

}  // namespace reference_test
