#include "ShareJob.hpp"

#include <QJsonArray>
#include <QUrl>

#include <utility>

namespace kelpword::purpose {

ShareJob::ShareJob(QString program, QObject* parent)
    : Purpose::Job(parent), program_(std::move(program)) {}

QStringList ShareJob::arguments(const QJsonArray& urls) {
  QStringList arguments{QStringLiteral("--")};
  for (const auto& value : urls) {
    const QUrl url(value.toString());
    arguments << (url.isLocalFile() ? url.toLocalFile() : url.toString());
  }
  return arguments;
}

void ShareJob::start() {
  process_ = new QProcess(this);
  process_->setProgram(program_);
  process_->setArguments(arguments(data().value(QStringLiteral("urls")).toArray()));
  // The share shows its own sheet; its text goes where the host's does. No input: a sheet in
  // text takes the end of input as its Close, as when a launcher starts it.
  process_->setProcessChannelMode(QProcess::ForwardedChannels);
  process_->setStandardInputFile(QProcess::nullDevice());
  connect(process_, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
          &ShareJob::finish);
  connect(process_, &QProcess::errorOccurred, this, &ShareJob::failToStart);
  process_->start();
}

void ShareJob::finish(int exitCode, QProcess::ExitStatus status) {
  if (status != QProcess::NormalExit || exitCode != 0) {
    setError(KJob::UserDefinedError);
    setErrorText(status == QProcess::NormalExit
                     ? QStringLiteral("The recording was not sent to KelpWord.")
                     : QStringLiteral("kelpword-share ended unexpectedly."));
  }
  setOutput({});
  emitResult();
}

void ShareJob::failToStart(QProcess::ProcessError error) {
  // Only a program that never started ends here; the others also end through finished().
  if (error != QProcess::FailedToStart) return;
  setError(KJob::UserDefinedError);
  setErrorText(QStringLiteral("kelpword-share could not be started: ") + process_->errorString());
  emitResult();
}

}  // namespace kelpword::purpose
