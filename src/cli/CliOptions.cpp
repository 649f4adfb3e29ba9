#include "cli/CliOptions.h"

#include <QCommandLineParser>

#include "run/RunSettings.h"

namespace cli {

namespace {

struct TOptionRow {
  const char* Name;
  const char* ValueName;  // null: a switch
  const char* Help;
};

// Every option with its one line of help; ParseCommandLine gives each its meaning.
constexpr TOptionRow kOptions[] = {
    {"test", nullptr, "тестовая выгрузка: 100 карточек первой страницы 2016 года"},
    {"separate", nullptr, "выгружать отдельно активных и неактивных (с --active, --inactive)"},
    {"active", nullptr, "выгружать активных (включает --separate)"},
    {"inactive", nullptr, "выгружать неактивных (включает --separate)"},
    {"resume", "FILE", "продолжить выгрузку, записавшую файл результата FILE"},
    {"update", "FILE",
     "обновить выгрузку FILE: новый файл data<N>.csv, карточки из FILE берутся без загрузки, "
     "загружаются только новые (изменения сведений известных карточек видит только полная выгрузка)"},
    {"origin", "URL", "адрес портала https://host[:port] вместо встроенного"},
    {"output-dir", "DIR", "папка для data<N>.csv и log-<N>.txt (по умолчанию папка программы)"},
    {"proxy-file", "FILE", "файл настроек прокси (по умолчанию proxy.txt рядом с программой)"},
    {"quiet", nullptr, "не показывать ход выгрузки"},
    {"xlsx", nullptr, "в конце выгрузки записать ещё таблицу data<N>.xlsx рядом с data<N>.csv"},
    {"to-xlsx", "FILE", "сделать из готового файла результата FILE.csv таблицу FILE.xlsx и выйти"},
    {"compare", "OLD.csv NEW.csv",
     "сравнить два файла результата и записать новых, выбывших и изменённых участников в "
     "NEW-changes.xlsx рядом с NEW, затем выйти"},
    {"output", "FILE", "с --compare: файл изменений FILE.xlsx (книга) или FILE.csv (только список изменений)"},
    {"help", nullptr, "показать этот список и выйти"},
    {"version", nullptr, "показать версию и выйти"},
};

void AddOptions(QCommandLineParser& parser) {
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  for (const TOptionRow& row : kOptions) {
    QCommandLineOption option(QString::fromLatin1(row.Name), QString::fromUtf8(row.Help));
    if (row.ValueName) option.setValueName(QString::fromLatin1(row.ValueName));
    parser.addOption(option);
  }
}

}  // namespace

QString HelpText() {
  QString text = QStringLiteral(
      "Использование: supplier-harvester-cli [ПАРАМЕТРЫ]\n"
      "Одна выгрузка реестра участников без окна. Без параметров выгружаются все участники "
      "подряд.\n\nПараметры:\n");
  for (const TOptionRow& row : kOptions) {
    QString left = QStringLiteral("  --") + QString::fromLatin1(row.Name);
    if (row.ValueName) left += u' ' + QString::fromLatin1(row.ValueName);
    text += left.leftJustified(22) + u' ' + QString::fromUtf8(row.Help) + u'\n';
  }
  text += QStringLiteral(
      "\nКоды завершения: 0 выгрузка дошла до конца без ошибок; 1 дошла до конца после ошибок;\n"
      "2 неверные параметры или отказ при запуске (ничего не записано); 130 остановлена "
      "сигналом.\n"
      "С --to-xlsx: 0 таблица записана; 1 таблицу записать не удалось (файл результата не\n"
      "тронут); 2 файл не читается или не является файлом результата (ничего не записано).\n"
      "С --compare: 0 файл изменений записан (есть изменения или нет); 1 его записать не удалось\n"
      "(прежний файл с тем же именем не тронут); 2 файл не является файлом результата, один и тот\n"
      "же файл дважды, неверное имя файла изменений (ничего не записано).\n"
      "С --update: новые карточки и активность как при полной выгрузке, остальные сведения\n"
      "известных карточек как в FILE. Изменения сведений известных карточек (адрес,\n"
      "руководитель, телефон) видит только полная выгрузка. Прерванное обновление продолжает\n"
      "--resume его нового файла.\n"
      "Сигналы: SIGINT или SIGTERM останавливают выгрузку (второй завершает сразу), SIGUSR1 "
      "ставит на паузу или снимает её.\n");
  return text;
}

bool ParseCommandLine(const QStringList& arguments, TCliOptions& options, QString& error) {
  QCommandLineParser parser;
  AddOptions(parser);
  if (!parser.parse(arguments)) {
    const QStringList unknown = parser.unknownOptionNames();
    error = unknown.isEmpty()
                ? parser.errorText()
                : QStringLiteral("неизвестный параметр: %1").arg(unknown.first());
    return false;
  }
  // --compare names its second file as the one argument that follows its own value.
  const qsizetype ownArguments = parser.isSet(QStringLiteral("compare")) ? 1 : 0;
  if (parser.positionalArguments().size() > ownArguments) {
    error = QStringLiteral("лишний аргумент: %1").arg(parser.positionalArguments().at(ownArguments));
    return false;
  }
  // Each option once: a second value would silently win over the first.
  for (const TOptionRow& row : kOptions) {
    const QString name = QString::fromLatin1(row.Name);
    if (row.ValueName && parser.values(name).size() > 1) {
      error = QStringLiteral("параметр --%1 указан дважды").arg(name);
      return false;
    }
  }
  if (parser.isSet(QStringLiteral("help"))) {
    options.Action = TCliAction::caHelp;
    return true;
  }
  if (parser.isSet(QStringLiteral("version"))) {
    options.Action = TCliAction::caVersion;
    return true;
  }

  if (parser.isSet(QStringLiteral("compare"))) {
    for (const char* harvestOnly : {"test", "separate", "active", "inactive", "resume", "origin", "output-dir",
                                    "proxy-file", "xlsx", "to-xlsx", "update"}) {
      if (parser.isSet(QString::fromLatin1(harvestOnly))) {
        error = QStringLiteral("--compare не сочетается с --%1").arg(QString::fromLatin1(harvestOnly));
        return false;
      }
    }
    options.CompareOld = parser.value(QStringLiteral("compare"));
    if (parser.positionalArguments().isEmpty() || options.CompareOld.isEmpty() ||
        parser.positionalArguments().first().isEmpty()) {
      error = QStringLiteral("--compare ждёт два файла: --compare OLD.csv NEW.csv");
      return false;
    }
    options.CompareNew = parser.positionalArguments().first();
    options.CompareOutput = parser.value(QStringLiteral("output"));
    if (parser.isSet(QStringLiteral("output")) && options.CompareOutput.isEmpty()) {
      error = QStringLiteral("у параметра --output пустое значение");
      return false;
    }
    options.Quiet = parser.isSet(QStringLiteral("quiet"));
    options.Action = TCliAction::caCompare;
    return true;
  }
  if (parser.isSet(QStringLiteral("output"))) {
    error = QStringLiteral("--output задаёт файл изменений и нужен только с --compare");
    return false;
  }

  if (parser.isSet(QStringLiteral("to-xlsx"))) {
    // A conversion runs no harvest: an option of a harvest with it is a mistake, not a wish.
    for (const char* harvestOnly :
         {"test", "separate", "active", "inactive", "resume", "origin", "output-dir", "proxy-file", "xlsx", "update"}) {
      if (parser.isSet(QString::fromLatin1(harvestOnly))) {
        error = QStringLiteral("--to-xlsx не сочетается с --%1").arg(QString::fromLatin1(harvestOnly));
        return false;
      }
    }
    options.ToXlsxFile = parser.value(QStringLiteral("to-xlsx"));
    if (options.ToXlsxFile.isEmpty()) {
      error = QStringLiteral("у параметра --to-xlsx пустое значение");
      return false;
    }
    options.Quiet = parser.isSet(QStringLiteral("quiet"));
    options.Action = TCliAction::caToXlsx;
    return true;
  }

  engine::TRunOptions& run = options.Run;
  run.TestExport = parser.isSet(QStringLiteral("test"));
  run.Active = parser.isSet(QStringLiteral("active"));
  run.Inactive = parser.isSet(QStringLiteral("inactive"));
  // Ticking a box selects the separate mode, as in the window.
  run.Separate = parser.isSet(QStringLiteral("separate")) || run.Active || run.Inactive;
  run.AllInARow = !run.Separate;
  options.SeparateFellBack = ::run::FixUpMode(run);

  options.Quiet = parser.isSet(QStringLiteral("quiet"));
  options.Xlsx = parser.isSet(QStringLiteral("xlsx"));
  const auto value = [&](const char* name, QString& into) -> bool {
    const QString key = QString::fromLatin1(name);
    if (!parser.isSet(key)) return true;
    into = parser.value(key);
    if (into.isEmpty()) {
      error = QStringLiteral("у параметра --%1 пустое значение").arg(key);
      return false;
    }
    return true;
  };
  if (!value("resume", options.ResumeFile) || !value("update", options.UpdateFile) ||
      !value("origin", options.Origin) ||
      !value("output-dir", options.OutputDir) || !value("proxy-file", options.ProxyFile))
    return false;
  // An update writes a new file; a resume continues an existing one (an interrupted update is
  // finished by a plain --resume of its new file).
  if (!options.UpdateFile.isEmpty() && !options.ResumeFile.isEmpty()) {
    error = QStringLiteral("--update не сочетается с --resume: прерванное обновление продолжает --resume его нового файла");
    return false;
  }
  if (!options.Origin.isEmpty() && !::run::IsPortalOrigin(options.Origin)) {
    error = QStringLiteral("--origin ждёт адрес вида https://host[:port] без пути: %1")
                .arg(options.Origin);
    return false;
  }
  return true;
}

}  // namespace cli
