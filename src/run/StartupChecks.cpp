#include "run/StartupChecks.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <dlfcn.h>
#include <openssl/crypto.h>

#include "run/RunSettings.h"

namespace run {

QString RefusalTitle() { return QStringLiteral("Внимание!"); }

QString RefusalText(TRefusal refusal) {
  const QString extract = QStringLiteral(
      "Для корректной работы программы извлеките файлы программы из архива в отдельную папку. "
      "Это можно сделать, кликнув правой кнопкой мыши на архиве и выбрав пункт меню "
      "\"Извлечь все\"");
  switch (refusal) {
    case TRefusal::rfNone:
      return {};
    case TRefusal::rfArchive:
      return QStringLiteral("Вы запустили программу изнутри архива!\r\n") + extract;
    case TRefusal::rfTempFolder:
      return QStringLiteral(
                 "Программа запущена из временной папки!\r\n"
                 "Скорее всего, Вы запустили программу изнутри архива.\r\n") +
             extract;
    case TRefusal::rfMissingLibrary:
      return QStringLiteral(
                 "Программа не обнаружила необходимые для работы файлы!\r\n"
                 "Вероятно, Вы запустили программу изнутри архива!\r\n") +
             extract;
  }
  return {};
}

namespace {

// True if any whole folder name on the path is "temp" or "tmp", in any letter case.
bool LiesInTempFolder(const QString& dir) {
  const QStringList parts = dir.split(u'/', Qt::SkipEmptyParts);
  for (const QString& part : parts) {
    if (part.compare(QLatin1String("temp"), Qt::CaseInsensitive) == 0 ||
        part.compare(QLatin1String("tmp"), Qt::CaseInsensitive) == 0)
      return true;
  }
  return false;
}

}  // namespace

TRefusal CheckProgramFolder(const QString& programDir, const QString& cryptoLibraryFile) {
  if (programDir.contains(QLatin1String("Rar$"), Qt::CaseSensitive)) return TRefusal::rfArchive;
  if (LiesInTempFolder(programDir)) return TRefusal::rfTempFolder;
  if (cryptoLibraryFile.isEmpty() || !QFileInfo(programDir + cryptoLibraryFile).isFile())
    return TRefusal::rfMissingLibrary;
  return TRefusal::rfNone;
}

QString LinkedCryptoLibraryFile() {
  Dl_info info{};
  // Any libcrypto function will do: its address names the shared object it came from.
  if (dladdr(reinterpret_cast<void*>(&OpenSSL_version_num), &info) != 0 && info.dli_fname) {
    const QString name = QFileInfo(QString::fromLocal8Bit(info.dli_fname)).fileName();
    if (!name.isEmpty()) return name;
  }
  return QStringLiteral(SH_CRYPTO_LIBRARY_FILE);
}

QString ProgramFolder() { return FolderWithSeparator(QCoreApplication::applicationDirPath()); }

QStringList IntroductionLines() {
  return {
      QStringLiteral("Спасибо, что пользуетесь нашей программой!"),
      QString(),
      QStringLiteral("Тестовая выгрузка: выгрузить 100 карточек в режиме \"всех подряд\" для "
                     "проверки формата выгрузки."),
      QStringLiteral("В режиме \"всех подряд\" неизвестно, активный участник или нет - в таблице "
                     "будет \"N/A\"."),
      QString(),
      QStringLiteral("В режиме \"выгружать отдельно\" - собирается отдельный список неактивных "
                     "участников."),
      QStringLiteral("В этом режиме можно определить: активный участник или нет."),
      QStringLiteral("Выгрузка производится в соответствии с включенными галочками активности."),
  };
}

}  // namespace run
