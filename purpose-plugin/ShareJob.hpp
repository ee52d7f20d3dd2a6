#pragma once

#include <QProcess>
#include <QStringList>

#include <purpose/job.h>

namespace kelpword::purpose {

// One share from a KDE application's Share menu: starts kelpword-share with the shared items and
// ends when it does, with an error when the share was cancelled or failed (a non-zero exit), or
// when the program could not be started. kelpword-share shows its own sheet, the user's messages
// included, so the error only tells the host that nothing was sent.
class ShareJob : public Purpose::Job {
  Q_OBJECT

 public:
  explicit ShareJob(QString program, QObject* parent = nullptr);

  void start() override;

  // kelpword-share's arguments for the job's "urls": a local file by its path, any other URL as
  // written; after "--", so that no path is taken for an option.
  static QStringList arguments(const QJsonArray& urls);

 private:
  void finish(int exitCode, QProcess::ExitStatus status);
  void failToStart(QProcess::ProcessError error);

  QString program_;
  QProcess* process_ = nullptr;
};

}  // namespace kelpword::purpose
