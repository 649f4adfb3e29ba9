// cli-docs: makes the manual page and the bash completion of supplier-harvester-cli from the
// command's own option table and --help text, at build time, so neither can name an option the
// command lacks or miss one it has.
//   cli-docs man TEMPLATE OUT VERSION
//   cli-docs completion TEMPLATE OUT
#include <QFile>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <cstdio>

#include "cli/CliOptions.h"

namespace {

// Text as roff reads it literally: backslashes and dashes escaped, no line taken for a request.
QString Roff(const QString& text) {
  QString out = text;
  out.replace(u'\\', QStringLiteral("\\e"));
  out.replace(u'-', QStringLiteral("\\-"));
  if (out.startsWith(u'.') || out.startsWith(u'\'')) out.prepend(QStringLiteral("\\&"));
  return out;
}

QString OptionItems() {
  QString out;
  for (const cli::TOptionRow& row : cli::OptionRows()) {
    out += QStringLiteral(".TP\n");
    const QString name = Roff(QStringLiteral("--") + QString::fromLatin1(row.Name));
    if (row.ValueName)
      // Quoted: a value of two words ("OLD.csv NEW.csv") stays one italic argument.
      out += QStringLiteral(".BI \"%1 \" \"%2\"\n").arg(name, Roff(QString::fromLatin1(row.ValueName)));
    else
      out += QStringLiteral(".B %1\n").arg(name);
    out += Roff(QString::fromUtf8(row.Help)) + u'\n';
  }
  return out;
}

// The paragraphs --help prints after its option list (exit statuses, signals), each one line.
// A paragraph begins at a blank line or at a line that opens with a label ("Сигналы: ...").
QStringList HelpParagraphs() {
  const QStringList lines = cli::HelpText().split(u'\n');
  qsizetype after = 0;
  for (qsizetype i = 0; i < lines.size(); ++i)
    if (lines[i].startsWith(u' ') && lines[i].trimmed().startsWith(u'-')) after = i + 1;
  static const QRegularExpression label(QStringLiteral("^\\p{Lu}[^:]{0,30}: "));
  QStringList paragraphs;
  bool open = false;
  for (qsizetype i = after; i < lines.size(); ++i) {
    const QString line = lines[i].trimmed();
    if (line.isEmpty()) {
      open = false;
      continue;
    }
    if (open && !label.match(line).hasMatch())
      paragraphs.last() += u' ' + line;
    else
      paragraphs.append(line);
    open = true;
  }
  return paragraphs;
}

QString Paragraphs(bool signalsOnly) {
  QString out;
  for (const QString& p : HelpParagraphs())
    if (p.startsWith(QStringLiteral("Сигнал")) == signalsOnly)
      out += QStringLiteral(".PP\n") + Roff(p) + u'\n';
  return out;
}

// One `case` arm of the completion per kind of value, for the options that take one.
QString ValueCases() {
  QStringList files, folders, others;
  for (const cli::TOptionRow& row : cli::OptionRows()) {
    const QString option = QStringLiteral("--") + QString::fromLatin1(row.Name);
    switch (cli::ValueKind(row)) {
      case cli::TValueKind::vkFile: files << option; break;
      case cli::TValueKind::vkFolder: folders << option; break;
      case cli::TValueKind::vkOther: others << option; break;
      case cli::TValueKind::vkNone: break;
    }
  }
  QString out;
  const auto arm = [&](const QStringList& options, const char* action) {
    if (!options.isEmpty())
      out += QStringLiteral("    %1) %2; return ;;\n").arg(options.join(u'|'), QLatin1String(action));
  };
  arm(files, "_supplier_harvester_cli_paths -f");
  arm(folders, "_supplier_harvester_cli_paths -d");
  arm(others, "COMPREPLY=()");
  return out;
}

QString OptionWords() {
  QStringList words;
  for (const cli::TOptionRow& row : cli::OptionRows())
    words << QStringLiteral("--") + QString::fromLatin1(row.Name);
  return words.join(u' ');
}

int Fail(const QString& why) {
  std::fprintf(stderr, "cli-docs: %s\n", why.toLocal8Bit().constData());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const QStringList args = [&] {
    QStringList a;
    for (int i = 1; i < argc; ++i) a << QString::fromLocal8Bit(argv[i]);
    return a;
  }();
  const bool man = args.size() == 4 && args[0] == QLatin1String("man");
  const bool completion = args.size() == 3 && args[0] == QLatin1String("completion");
  if (!man && !completion)
    return Fail(QStringLiteral("usage: cli-docs man TEMPLATE OUT VERSION | completion TEMPLATE OUT"));

  QFile in(args[1]);
  if (!in.open(QIODevice::ReadOnly)) return Fail(QStringLiteral("cannot read ") + args[1]);
  QString text = QString::fromUtf8(in.readAll());
  if (man) {
    text.replace(QStringLiteral("@VERSION@"), args[3]);
    text.replace(QStringLiteral("@OPTIONS@\n"), OptionItems());
    text.replace(QStringLiteral("@EXIT_STATUS@\n"), Paragraphs(false));
    text.replace(QStringLiteral("@SIGNALS@\n"), Paragraphs(true));
  } else {
    text.replace(QStringLiteral("@OPTIONS@"), OptionWords());
    text.replace(QStringLiteral("@VALUE_CASES@\n"), ValueCases());
  }
  static const QRegularExpression placeholder(QStringLiteral("@[A-Z_]+@"));
  if (placeholder.match(text).hasMatch()) return Fail(QStringLiteral("a placeholder is left in ") + args[1]);

  // Written whole or not at all: a half page must not look up to date to the next build.
  const QString part = args[2] + QStringLiteral(".part");
  QFile out(part);
  if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(text.toUtf8()) < 0 || !out.flush())
    return Fail(QStringLiteral("cannot write ") + part);
  out.close();
  QFile::remove(args[2]);
  if (!QFile::rename(part, args[2])) return Fail(QStringLiteral("cannot write ") + args[2]);
  return 0;
}
