// kelpword-reference: a small main application on the intake library, for whoever builds the real
// one. It receives files on its command line and over D-Bus (org.freedesktop.Application.Open),
// takes drops, and sweeps the inbox.
//
//   kelpword-reference [--keep-days=DAYS] [FILE…]
//   kelpword-reference --gapplication-service      (as the bus starts it,
//   com.brenvik.kelpword.service)
//
// One instance runs per session bus: a second one hands its files to the first and ends.
#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "DidedaZiv/AudioIntake.hpp"
#include "platform/MainThread.hpp"
#include "platform/app/sheet/ToolkitLoopPump.hpp"
#include "platform/app/sheet/WindowSheetPlugin.h"
#include "reference-app/LocalFile.hpp"
#include "reference-app/OpenCalls.hpp"
#include "reference-app/ReferenceApp.hpp"

namespace {

constexpr const char* kIdentifier = "com.brenvik.kelpword";
// Where GApplication puts its objects: the identifier as a path.
constexpr const char* kObjectPath = "/com/brenvik/kelpword";
constexpr double kDefaultKeepDays = 7;
constexpr double kSecondsPerDay = 24 * 60 * 60;

constexpr const char* kUsage =
    "usage: kelpword-reference [--keep-days=DAYS] [FILE...]\n"
    "       kelpword-reference [--keep-days=DAYS] --gapplication-service\n"
    "  Shows the files KelpWord receives, takes drops, and sweeps its inbox of per-share\n"
    "  folders older than DAYS days (7 unless given; fractions allowed), at start and daily.\n"
    "  A second instance hands its files to the running one. With --gapplication-service it\n"
    "  starts as the session bus starts it, its window hidden until it is asked to open files\n"
    "  or to show itself.\n";

enum class Start {
  byUser,    // shows its window at once, or hands its files to the running instance
  byTheBus,  // --gapplication-service: waits to be asked over the bus
  forUsage,  // --help
};

struct Options {
  double keepDays = kDefaultKeepDays;
  Start start = Start::byUser;
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
    } else if (argument == "--help" || argument == "-h") {
      options.start = Start::forUsage;
    } else if (argument == "--gapplication-service") {
      options.start = Start::byTheBus;
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
  if (options.start == Start::byTheBus && !options.files.empty()) {
    std::fprintf(stderr, "kelpword-reference: --gapplication-service takes no files\n");
    return std::nullopt;
  }
  return options;
}

// The tokens the desktop started this process with, read before the toolkit takes them from the
// environment, for a second instance to hand on with its files.
reference_app::PlatformData startupTokens() {
  reference_app::PlatformData tokens;
  for (const auto& [variable, key] : {std::pair{"XDG_ACTIVATION_TOKEN", "activation-token"},
                                      std::pair{"DESKTOP_STARTUP_ID", "desktop-startup-id"}}) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any other thread starts
    if (const char* token = std::getenv(variable); token != nullptr && *token != '\0') {
      tokens.emplace_back(key, token);
    }
  }
  return tokens;
}

void onActivate(GApplication* /*application*/, gpointer app) {
  static_cast<reference_app::ReferenceApp*>(app)->present();
}

// GApplication leaves the bus, flushes what it sent and shuts down only at the end of
// g_application_run. Run once the application is registered, with nothing holding it, it does only
// that, after activating: a remote instance activates the running one; a primary one activates
// itself, which the caller must answer.
void runToTheEnd(GApplication* application) {
  std::array<char*, 2> argv{const_cast<char*>("kelpword-reference"), nullptr};
  g_application_run(application, 1, argv.data());
}

std::vector<std::string> commandLineUris(const std::vector<std::string>& files) {
  std::vector<std::string> uris;
  uris.reserve(files.size());
  for (const auto& file : files) uris.push_back(reference_app::commandLineUri(file));
  return uris;
}

// A second instance: hands its files to the running one with the URIs as given (GApplication
// would pass them through GFiles, which lose a file URI's host), then leaves as GApplication does,
// which activates the running one too.
int handOver(GApplication* application, GDBusConnection* bus, const std::vector<std::string>& files,
             const reference_app::PlatformData& tokens) {
  int status = 0;
  if (!files.empty() && bus != nullptr) {
    try {
      reference_app::callOpen(bus, kIdentifier, kObjectPath, commandLineUris(files), tokens);
    } catch (const std::runtime_error& failure) {
      std::fprintf(stderr, "kelpword-reference: the running instance took no files: %s\n",
                   failure.what());
      status = 1;
    }
  }
  runToTheEnd(application);
  return status;
}

// The primary instance: its window, the files it was started with and those of Open calls, until
// the window closes or the session ends the application.
asio::awaitable<void> serve(GtkApplication* application,
                            std::unique_ptr<reference_app::OpenCalls>& openCalls,
                            const Options& options, platform::ToolkitLoopPump& pump) {
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
  g_signal_connect(application, "activate", G_CALLBACK(onActivate), app.get());
  app->start();
  if (options.start == Start::byUser) {
    if (options.files.empty()) {
      app->present();
    } else {
      app->open(commandLineUris(options.files));
    }
  }
  if (openCalls) {
    openCalls->handleWith(
        [weak = std::weak_ptr(app), &pump](const reference_app::OpenRequest& request) {
          if (const auto shown = weak.lock()) shown->open(request.uris, request.startupId);
          pump.wake();
        });
  }
  // After the files it was started with are shown: the sweep keeps them.
  app->sweepInbox();

  pump.wake();
  std::error_code cancelled;
  co_await closed.async_wait(asio::redirect_error(asio::use_awaitable, cancelled));

  g_source_remove(terminated);
  g_source_remove(interrupted);
  g_signal_handlers_disconnect_by_data(application, app.get());
  openCalls.reset();
  app.reset();
  g_signal_connect(application, "activate", G_CALLBACK(+[](GApplication*, gpointer) {}), nullptr);
}

asio::awaitable<int> run(const Options& options, const reference_app::PlatformData& tokens) {
  // One loop on the main thread: Asio's, which the intake library delivers on, drives GLib's.
  platform::ToolkitLoopPump pump(platform::mainContext(),
                                 *kelpword_window_sheet(KELPWORD_WINDOW_SHEET_ABI_VERSION));
  GtkApplication* application = gtk_application_new(kIdentifier, G_APPLICATION_DEFAULT_FLAGS);
  // GApplication's own connection, on which Open calls are taken before it registers the name.
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  auto openCalls =
      bus != nullptr ? std::make_unique<reference_app::OpenCalls>(bus, kObjectPath) : nullptr;
  const auto release = [&] {
    openCalls.reset();
    if (bus != nullptr) g_object_unref(bus);
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
    if (options.start == Start::byTheBus) {
      std::fprintf(stderr, "kelpword-reference: %s already runs on this bus\n", kIdentifier);
      release();
      co_return 1;
    }
    const int status = handOver(G_APPLICATION(application), bus, options.files, tokens);
    release();
    co_return status;
  }

  co_await serve(application, openCalls, options, pump);
  runToTheEnd(G_APPLICATION(application));
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
  if (options->start == Start::forUsage) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const auto tokens = startupTokens();
  if (gtk_init_check() == FALSE) {
    std::fputs("kelpword-reference: no display to show its window on (DISPLAY, WAYLAND_DISPLAY)\n",
               stderr);
    return 1;
  }
  return platform::runMain(run(*options, tokens));
}
