// The plugin's entry point: Purpose reads the metadata (kelpwordshare.json, made by the build
// from the content-type table) to offer "KelpWord" for recordings, then asks for a job.
#include <purpose/pluginbase.h>
#include <KPluginFactory>

#include "ShareJob.hpp"

// Outside any namespace: the factory macro names its class after this one.
class KelpWordSharePlugin : public Purpose::PluginBase {
  Q_OBJECT

 public:
  KelpWordSharePlugin(QObject* parent, const QVariantList& /*arguments*/)
      : Purpose::PluginBase(parent) {}

  Purpose::Job* createJob() const override {
    return new kelpword::purpose::ShareJob(QStringLiteral(KELPWORD_SHARE_PROGRAM));
  }
};

K_PLUGIN_CLASS_WITH_JSON(KelpWordSharePlugin, "kelpwordshare.json")

#include "KelpWordSharePlugin.moc"
