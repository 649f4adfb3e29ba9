#include "cli/CliOptions.h"

#include <QHash>

#include "run/RunSettings.h"

namespace cli {

namespace {

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

const TOptionRow* FindOption(QStringView name) {
  for (const TOptionRow& row : kOptions)
    if (name == QLatin1String(row.Name)) return &row;
  return nullptr;
}

// The arguments read against the option table: "--name", "--name VALUE", "--name=VALUE", the
// same with one dash, and "--" before arguments that are no options. Every message is one line
// of the command's own.
class TParsedArguments {
 public:
  bool Parse(const QStringList& arguments, QString& error) {
    bool optionsEnded = false;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
      const QString& argument = arguments[i];
      if (optionsEnded || !argument.startsWith(u'-') || argument == QLatin1String("-")) {
        error = QStringLiteral("лишний аргумент: %1").arg(argument);
        return false;
      }
      if (argument == QLatin1String("--")) {
        optionsEnded = true;
        continue;
      }
      QString name = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
      QString value;
      const qsizetype equals = name.indexOf(u'=');
      const bool inlineValue = equals >= 0;
      if (inlineValue) {
        value = name.mid(equals + 1);
        name.truncate(equals);
      }
      const TOptionRow* row = FindOption(name);
      if (row == nullptr) {
        error = QStringLiteral("неизвестный параметр: %1").arg(name);
        return false;
      }
      if (!row->ValueName) {
        if (inlineValue) {
          error = QStringLiteral("параметр --%1 не принимает значения").arg(name);
          return false;
        }
        FSet.insert(name, {});
        continue;
      }
      if (!inlineValue) {
        if (i + 1 >= arguments.size()) {
          error = QStringLiteral("у параметра --%1 нет значения %2").arg(name, QLatin1String(row->ValueName));
          return false;
        }
        value = arguments[++i];
      }
      // Each option once: a second value would silently win over the first.
      if (FSet.contains(name)) {
        error = QStringLiteral("параметр --%1 указан дважды").arg(name);
        return false;
      }
      FSet.insert(name, value);
      // --compare names two files: its value and the argument after it.
      if (name == QLatin1String("compare") && i + 1 < arguments.size() && !arguments[i + 1].startsWith(u'-'))
        FCompareNew = arguments[++i];
    }
    return true;
  }

  bool IsSet(const QString& name) const { return FSet.contains(name); }
  QString Value(const QString& name) const { return FSet.value(name); }
  const QString& CompareNew() const { return FCompareNew; }

 private:
  QString FCompareNew;  // the second file of --compare
  QHash<QString, QString> FSet;  // option name -> its value (empty for a switch)
};

}  // namespace

std::span<const TOptionRow> OptionRows() { return kOptions; }

TValueKind ValueKind(const TOptionRow& row) {
  if (!row.ValueName) return TValueKind::vkNone;
  const QString value = QString::fromLatin1(row.ValueName);
  if (value.endsWith(QLatin1String("DIR"))) return TValueKind::vkFolder;
  if (value == QLatin1String("URL")) return TValueKind::vkOther;
  return TValueKind::vkFile;  // FILE, FILE.csv, OLD, NEW and the like name files
}

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
      "\nКоды завершения: 0 выгрузка дошла до конца без ошибок; 1 дошла до конца после ошибок\n"
      "(в том числе строк, не записанных в файл результата);\n"
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
  TParsedArguments parser;
  if (!parser.Parse(arguments, error)) return false;
  if (parser.IsSet(QStringLiteral("help"))) {
    options.Action = TCliAction::caHelp;
    return true;
  }
  if (parser.IsSet(QStringLiteral("version"))) {
    options.Action = TCliAction::caVersion;
    return true;
  }

  if (parser.IsSet(QStringLiteral("compare"))) {
    for (const char* harvestOnly : {"test", "separate", "active", "inactive", "resume", "origin", "output-dir",
                                    "proxy-file", "xlsx", "to-xlsx", "update"}) {
      if (parser.IsSet(QString::fromLatin1(harvestOnly))) {
        error = QStringLiteral("--compare не сочетается с --%1").arg(QString::fromLatin1(harvestOnly));
        return false;
      }
    }
    options.CompareOld = parser.Value(QStringLiteral("compare"));
    options.CompareNew = parser.CompareNew();
    if (options.CompareOld.isEmpty() || options.CompareNew.isEmpty()) {
      error = QStringLiteral("--compare ждёт два файла: --compare OLD.csv NEW.csv");
      return false;
    }
    options.CompareOutput = parser.Value(QStringLiteral("output"));
    if (parser.IsSet(QStringLiteral("output")) && options.CompareOutput.isEmpty()) {
      error = QStringLiteral("у параметра --output пустое значение");
      return false;
    }
    options.Quiet = parser.IsSet(QStringLiteral("quiet"));
    options.Action = TCliAction::caCompare;
    return true;
  }
  if (parser.IsSet(QStringLiteral("output"))) {
    error = QStringLiteral("--output задаёт файл изменений и нужен только с --compare");
    return false;
  }

  if (parser.IsSet(QStringLiteral("to-xlsx"))) {
    // A conversion runs no harvest: an option of a harvest with it is a mistake, not a wish.
    for (const char* harvestOnly :
         {"test", "separate", "active", "inactive", "resume", "origin", "output-dir", "proxy-file", "xlsx", "update"}) {
      if (parser.IsSet(QString::fromLatin1(harvestOnly))) {
        error = QStringLiteral("--to-xlsx не сочетается с --%1").arg(QString::fromLatin1(harvestOnly));
        return false;
      }
    }
    options.ToXlsxFile = parser.Value(QStringLiteral("to-xlsx"));
    if (options.ToXlsxFile.isEmpty()) {
      error = QStringLiteral("у параметра --to-xlsx пустое значение");
      return false;
    }
    options.Quiet = parser.IsSet(QStringLiteral("quiet"));
    options.Action = TCliAction::caToXlsx;
    return true;
  }

  engine::TRunOptions& run = options.Run;
  run.TestExport = parser.IsSet(QStringLiteral("test"));
  run.Active = parser.IsSet(QStringLiteral("active"));
  run.Inactive = parser.IsSet(QStringLiteral("inactive"));
  // Ticking a box selects the separate mode, as in the window.
  run.Separate = parser.IsSet(QStringLiteral("separate")) || run.Active || run.Inactive;
  run.AllInARow = !run.Separate;
  options.SeparateFellBack = ::run::FixUpMode(run);

  options.Quiet = parser.IsSet(QStringLiteral("quiet"));
  options.Xlsx = parser.IsSet(QStringLiteral("xlsx"));
  const auto value = [&](const char* name, QString& into) -> bool {
    const QString key = QString::fromLatin1(name);
    if (!parser.IsSet(key)) return true;
    into = parser.Value(key);
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
  if (!options.Origin.isEmpty()) {
    // The links of the portal's pages are matched in the one spelling of its origin.
    const QString canonical = ::run::CanonicalPortalOrigin(options.Origin);
    if (canonical.isEmpty()) {
      error = QStringLiteral(
                  "--origin ждёт адрес вида https://host[:port] без пути (адрес IPv6 в скобках не "
                  "поддерживается): %1")
                  .arg(options.Origin);
      return false;
    }
    options.Origin = canonical;
  }
  return true;
}

}  // namespace cli
