// kelpword-reference: a small main application on the intake library, for whoever builds the real
// one. It receives files on its command line and over D-Bus (org.freedesktop.Application.Open),
// takes drops, and sweeps the inbox.
//
//   kelpword-reference [--keep-days=DAYS] [FILE…]
//
// One instance runs per session bus: a second one hands its files to the first and ends.
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "DidedaZiv/AudioIntake.hpp"
#include "platform/MainThread.hpp"
#include "platform/app/sheet/window/GLibPump.hpp"
#include "reference-app/ReferenceApp.hpp"

namespace {

constexpr const char* kIdentifier = "com.brenvik.kelpword";
constexpr double kDefaultKeepDays = 7;
constexpr double kSecondsPerDay = 24 * 60 * 60;

constexpr const char* kUsage =
    "usage: kelpword-reference [--keep-days=DAYS] [FILE...]\n"
    "  Shows the files KelpWord receives, takes drops, and sweeps its inbox of per-share\n"
    "  folders older than DAYS days (7 unless given; fractions allowed), at start and daily.\n";

struct Options {
  double keepDays = kDefaultKeepDays;
  std::vector<std::string> files;
};

std::optional<double> days(std::string_view text) {
  const std::string owned(text);
  char* end = nullptr;
  const double value = std::strtod(owned.c_str(), &end);
  if (owned.empty() || end != owned.c_str() + owned.size() || !std::isfinite(value) || value < 0) {
    return std::nullopt;
  }
  return value;
}

// None on a usage error, which is then reported.
std::optional<Options> parse(int argc, char** argv) {
  Options options;
  bool onlyFiles = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (onlyFiles || argument == "-" || !argument.starts_with("-")) {
      options.files.emplace_back(argument);
    } else if (argument == "--") {
      onlyFiles = true;
    } else if (argument.starts_with("--keep-days=")) {
      const auto value = days(argument.substr(argument.find('=') + 1));
      if (!value) {
        std::fprintf(stderr, "kelpword-reference: --keep-days wants a number of days, 0 or more\n");
        return std::nullopt;
      }
      options.keepDays = *value;
    } else {
      std::fprintf(stderr, "kelpword-reference: unknown option %s\n", argv[i]);
      return std::nullopt;
    }
  }
  return options;
}

std::vector<platform::Url> locations(GFile** files, gint count) {
  std::vector<platform::Url> urls;
  for (gint i = 0; i < count; ++i) {
    char* path = g_file_get_path(files[i]);
    if (path == nullptr) continue;  // not a local file: nothing to show or keep
    urls.push_back(platform::Url::fileURL(path, false));
    g_free(path);
  }
  return urls;
}

void onOpen(GApplication* /*application*/, GFile** files, gint count, gchar* /*hint*/,
            gpointer app) {
  static_cast<reference_app::ReferenceApp*>(app)->open(locations(files, count));
}

void onActivate(GApplication* /*application*/, gpointer app) {
  static_cast<reference_app::ReferenceApp*>(app)->present();
}

// GApplication leaves the bus, flushes what it sent and shuts down only at the end of
// g_application_run. Run once the application is registered, with nothing holding it, it does only
// that: a remote instance first hands `files` to the running one (Open, or Activate without files);
// a primary one first activates, which the caller must answer.
void runToTheEnd(GApplication* application, const std::vector<std::string>& files) {
  std::vector<char*> argv{const_cast<char*>("kelpword-reference")};
  for (const auto& file : files) argv.push_back(const_cast<char*>(file.c_str()));
  argv.push_back(nullptr);
  g_application_run(application, static_cast<int>(argv.size() - 1), argv.data());
}

asio::awaitable<int> run(const Options& options) {
  // One loop on the main thread: Asio's, which the intake library delivers on, drives GLib's.
  platform::GLibPump pump(platform::mainContext());
  GtkApplication* application = gtk_application_new(kIdentifier, G_APPLICATION_HANDLES_OPEN);
  std::vector<GFile*> files;
  for (const auto& file : options.files)
    files.push_back(g_file_new_for_commandline_arg(file.c_str()));
  const auto release = [&] {
    for (GFile* file : files) g_object_unref(file);
    g_object_unref(application);
  };

  GError* error = nullptr;
  if (g_application_register(G_APPLICATION(application), nullptr, &error) == FALSE) {
    std::fprintf(stderr, "kelpword-reference: %s\n", error->message);
    g_error_free(error);
    release();
    co_return 1;
  }
  if (g_application_get_is_remote(G_APPLICATION(application)) != FALSE) {
    runToTheEnd(G_APPLICATION(application), options.files);
    release();
    co_return 0;
  }

  // Ends when the window closes or the session ends the application.
  asio::steady_timer closed(platform::mainContext(), std::chrono::steady_clock::time_point::max());
  const auto quit = [](gpointer timer) -> gboolean {
    static_cast<asio::steady_timer*>(timer)->cancel();
    return G_SOURCE_CONTINUE;  // removed at the end, with the other
  };
  const guint terminated = g_unix_signal_add(SIGTERM, quit, &closed);
  const guint interrupted = g_unix_signal_add(SIGINT, quit, &closed);
  const auto home = DidedaZiv::AudioIntake::realHome();
  auto app = std::make_shared<reference_app::ReferenceApp>(
      application,
      reference_app::ReferenceApp::Settings{DidedaZiv::AudioIntake::receivedFolder(home),
                                            options.keepDays * kSecondsPerDay},
      [&pump] { pump.wake(); }, [&closed] { closed.cancel(); });
  g_signal_connect(application, "open", G_CALLBACK(onOpen), app.get());
  g_signal_connect(application, "activate", G_CALLBACK(onActivate), app.get());
  app->start();
  if (files.empty()) {
    g_application_activate(G_APPLICATION(application));
  } else {
    g_application_open(G_APPLICATION(application), files.data(), static_cast<gint>(files.size()),
                       "");
  }
  // After the files it was started with are shown: the sweep keeps them.
  app->sweepInbox();

  pump.wake();
  std::error_code cancelled;
  co_await closed.async_wait(asio::redirect_error(asio::use_awaitable, cancelled));

  g_source_remove(terminated);
  g_source_remove(interrupted);
  g_signal_handlers_disconnect_by_data(application, app.get());
  app.reset();
  g_signal_connect(application, "activate", G_CALLBACK(+[](GApplication*, gpointer) {}), nullptr);
  runToTheEnd(G_APPLICATION(application), {});
  release();
  co_return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = parse(argc, argv);
  if (!options) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (gtk_init_check() == FALSE) {
    std::fputs("kelpword-reference: no display to show its window on (DISPLAY, WAYLAND_DISPLAY)\n",
               stderr);
    return 1;
  }
  return platform::runMain(run(*options));
}
