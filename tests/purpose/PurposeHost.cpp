// A KDE application's Share menu in small: KF5 Purpose's own model lists the Export plugins that
// take a file of a MIME type and, with --share ID, runs that plugin's job in process.
//
//   purpose-host MIMETYPE FILE              prints "ID<TAB>NAME" for each plugin offered
//   purpose-host MIMETYPE FILE --share ID   runs plugin ID's job: prints "finished" or
//                                           "error: TEXT" and exits 0 or 3
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QTextStream>
#include <QUrl>

#include <purpose/alternativesmodel.h>
#include <purpose/configuration.h>
#include <purpose/job.h>

#include <cstdio>

namespace {

int list(const Purpose::AlternativesModel& model) {
  QTextStream out(stdout);
  for (int row = 0; row < model.rowCount(); ++row) {
    const auto index = model.index(row);
    out << index.data(Purpose::AlternativesModel::PluginIdRole).toString() << '\t'
        << index.data(Qt::DisplayRole).toString() << '\n';
  }
  return 0;
}

int share(QGuiApplication& application, Purpose::AlternativesModel& model, const QString& id) {
  for (int row = 0; row < model.rowCount(); ++row) {
    if (model.index(row).data(Purpose::AlternativesModel::PluginIdRole).toString() != id) {
      continue;
    }
    auto* configuration = model.configureJob(row);
    // Hosts run jobs in Purpose's helper process by default; the job is the same in process.
    configuration->setUseSeparateProcess(false);
    auto* job = configuration->createJob();
    if (job == nullptr) break;
    QObject::connect(job, &KJob::result, &application, [&application](KJob* ended) {
      QTextStream out(stdout);
      if (ended->error() == 0) {
        out << "finished\n";
      } else {
        out << "error: " << ended->errorText() << '\n';
      }
      out.flush();
      application.exit(ended->error() == 0 ? 0 : 3);
    });
    job->start();
    return QGuiApplication::exec();
  }
  std::fputs("no such plugin\n", stderr);
  return 4;
}

}  // namespace

int main(int argc, char* argv[]) {
  QGuiApplication application(argc, argv);
  const auto arguments = QGuiApplication::arguments();
  if (arguments.size() != 3 &&
      !(arguments.size() == 5 && arguments[3] == QStringLiteral("--share"))) {
    std::fputs("usage: purpose-host MIMETYPE FILE [--share ID]\n", stderr);
    return 2;
  }
  Purpose::AlternativesModel model;
  model.setPluginType(QStringLiteral("Export"));
  model.setInputData(QJsonObject{
      {QStringLiteral("urls"), QJsonArray{QUrl::fromLocalFile(arguments[2]).toString()}},
      {QStringLiteral("mimeType"), arguments[1]}});
  return arguments.size() == 3 ? list(model) : share(application, model, arguments[4]);
}
