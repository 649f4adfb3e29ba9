// The log control over a long run, and the cost of one window-thread call from another thread.
//
// LogMillionLines appends 1,000,000 stamped lines the way a run does (AppendLog on the window
// thread, events processed now and then) and reports the per-line cost of the first and the last
// 100,000 lines, their ratio, and the resident memory each line costs.
//
// LogSaveMillionLines saves a million-line log control the way the window does at the end of a
// run, and reports the window thread's CPU time and the peak memory over the resident memory
// before the save. LogClickOnLongLine clicks on a line of 140,000 characters;
// LogShiftArrowMillionSelected presses Shift+Left with a million lines selected (run it with
// QT_QPA_PLATFORM=xcb on an X server to include the primary selection).
//
// With SH_LOG_CONTROLS=1 in the environment, LogSaveMillionLinesWholeText saves the same log the
// earlier way (one copy of the whole text, line breaks replaced in it), and the same million
// lines also go into the other log controls that were weighed against ours (each shown alone,
// 618 x 305, at the end of its text):
// the toolkit's plain-text editor as the window used it, and the same editor fed through a
// document cursor so that no line is laid out unless painted. They take minutes each.
#include <QApplication>
#include <QElapsedTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QClipboard>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <benchmark/benchmark.h>
#include <algorithm>
#include <atomic>
#include <ctime>
#include <functional>
#include <thread>
#include <unistd.h>

#include "app/LogMemo.h"
#include "app/WindowBridge.h"
#include "app/uMain.h"
#include "run/LogFile.h"

namespace {

// CPU time of this thread: on a shared machine the wall-clock figures also hold other processes.
double ThreadCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

long ResidentBytes() {
  QFile statm(QStringLiteral("/proc/self/statm"));
  if (!statm.open(QIODevice::ReadOnly)) return 0;
  const QList<QByteArray> f = statm.readAll().split(' ');
  return f.size() > 1 ? f[1].toLong() * sysconf(_SC_PAGESIZE) : 0;
}

app::TMainFormSettings BenchSettings() {
  app::TMainFormSettings s = app::DefaultSettings();
  s.ProgramDir = QStringLiteral("/nonexistent/");
  s.ShowMessage = [](QWidget*, const QString&, const QString&) {};
  s.EndProgram = [](int) {};
  return s;
}

QString BenchLine(int i) {
  return QStringLiteral("Загружаем карточку %1: https://localhost:8443/epz/card?id=%2").arg(i).arg(1000000 + i);
}

// Appends a million lines through `append` (which forms the line from its number) and sets the
// counters; `shown` is the widget whose view must follow the last line.
void MillionLines(benchmark::State& state, QWidget& shown, const std::function<void(int)>& append,
                  const std::function<bool()>& showsLastLine) {
  constexpr int kLines = 1000000;
  constexpr int kWindow = 100000;
  shown.show();
  QCoreApplication::processEvents();
  const long before = ResidentBytes();
  QElapsedTimer timer;
  double firstNs = 0, lastNs = 0, cpuStart = 0, firstCpuNs = 0, lastCpuNs = 0;
  bool followed = true;
  timer.start();
  cpuStart = ThreadCpuNs();
  for (int i = 0; i < kLines; ++i) {
    if (i == kWindow) {
      firstNs = static_cast<double>(timer.nsecsElapsed());
      firstCpuNs = ThreadCpuNs() - cpuStart;
    }
    if (i == kLines - kWindow) {
      timer.restart();
      cpuStart = ThreadCpuNs();
    }
    append(i);
    if (i % 1000 == 999) {
      QCoreApplication::processEvents();
      followed = followed && showsLastLine();
    }
  }
  lastNs = static_cast<double>(timer.nsecsElapsed());
  lastCpuNs = ThreadCpuNs() - cpuStart;
  const long after = ResidentBytes();
  if (!followed) state.SkipWithError("the view did not follow the last line");
  state.counters["first100k_ns_per_line"] = firstNs / kWindow;
  state.counters["last100k_ns_per_line"] = lastNs / kWindow;
  state.counters["last_to_first"] = lastNs / firstNs;
  state.counters["first100k_cpu_ns_per_line"] = firstCpuNs / kWindow;
  state.counters["last100k_cpu_ns_per_line"] = lastCpuNs / kWindow;
  state.counters["bytes_per_line"] = static_cast<double>(after - before) / kLines;
}

void LogMillionLines(benchmark::State& state) {
  for (auto _ : state) {
    app::TMainForm form(BenchSettings());
    auto* memo = form.findChild<app::TLogMemo*>(QStringLiteral("LogsMemo"));
    MillionLines(
        state, form, [&](int i) { form.AppendLog(BenchLine(i)); },
        [&] { return memo->FirstVisibleLine() + memo->verticalScrollBar()->pageStep() >= memo->LineCount(); });
  }
}
BENCHMARK(LogMillionLines)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Peak resident memory since the last ResetPeak (VmHWM).
long PeakResidentBytes() {
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly)) return 0;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ').value(0).toLong() * 1024;
  return 0;
}

void ResetPeak() {
  QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
  if (clearRefs.open(QIODevice::WriteOnly)) clearRefs.write("5");
}

void SaveMillionLines(benchmark::State& state, const std::function<void(app::TLogMemo&, const QString&)>& save) {
  constexpr int kLines = 1000000;
  app::TMainForm form(BenchSettings());
  auto* memo = form.findChild<app::TLogMemo*>(QStringLiteral("LogsMemo"));
  for (int i = 0; i < kLines; ++i) form.AppendLog(BenchLine(i));
  QCoreApplication::processEvents();
  const QString path = QDir::tempPath() + QStringLiteral("/app_bench-log-%1.txt").arg(QCoreApplication::applicationPid());
  double cpuNs = 0;
  long above = 0;
  for (auto _ : state) {
    ResetPeak();
    const long before = ResidentBytes();
    const double start = ThreadCpuNs();
    save(*memo, path);
    cpuNs += ThreadCpuNs() - start;
    above = std::max(above, PeakResidentBytes() - before);
  }
  state.counters["window_thread_cpu_ms"] = cpuNs / 1e6 / static_cast<double>(state.iterations());
  state.counters["peak_above_resident_MB"] = static_cast<double>(above) / (1024.0 * 1024.0);
  state.counters["file_MB"] = static_cast<double>(QFileInfo(path).size()) / (1024.0 * 1024.0);
  QFile::remove(path);
}

void LogSaveMillionLines(benchmark::State& state) {
  SaveMillionLines(state, [](app::TLogMemo& memo, const QString& path) { run::SaveLogFile(path, memo.Lines(), "CP1251"); });
}
BENCHMARK(LogSaveMillionLines)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

void LogSaveMillionLinesWholeText(benchmark::State& state) {
  SaveMillionLines(state, [](app::TLogMemo& memo, const QString& path) {
    run::SaveLogFile(path, memo.toPlainText(), "CP1251");
  });
}

// A click on a line of 140,000 characters, in view: its layout is kept, not shaped per click.
void LogClickOnLongLine(benchmark::State& state) {
  app::TLogMemo memo;
  memo.resize(618, 305);
  memo.show();
  QString line;
  while (line.size() < 140000) line += BenchLine(static_cast<int>(line.size()));
  memo.appendPlainText(line);
  memo.appendPlainText(QStringLiteral("после"));
  QCoreApplication::processEvents();
  int k = 0;
  for (auto _ : state) {
    const QPoint at(20 + (k++ % 50) * 10, 8);
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(at), memo.viewport()->mapToGlobal(QPointF(at)), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(memo.viewport(), &press);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(at), memo.viewport()->mapToGlobal(QPointF(at)),
                        Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(memo.viewport(), &release);
    QCoreApplication::processEvents();  // the paint
  }
}
BENCHMARK(LogClickOnLongLine)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Shift+Left with all of 1,000,000 lines selected: the selection (and on X11 the primary
// selection) follows the key without the selected text being built.
void LogShiftArrowMillionSelected(benchmark::State& state) {
  app::TLogMemo memo;
  memo.resize(618, 305);
  memo.show();
  for (int i = 0; i < 1000000; ++i) memo.appendPlainText(BenchLine(i));
  QCoreApplication::processEvents();
  memo.selectAll();
  for (auto _ : state) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Left, Qt::ShiftModifier);
    QCoreApplication::sendEvent(&memo, &press);
    QCoreApplication::processEvents();  // the paint
  }
  state.counters["clipboard_has_selection"] = QGuiApplication::clipboard()->supportsSelection() ? 1 : 0;
}
BENCHMARK(LogShiftArrowMillionSelected)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The plain-text editor with the settings the window gave it.
std::unique_ptr<QPlainTextEdit> PlainTextLog(const QFont& font) {
  auto edit = std::make_unique<QPlainTextEdit>();
  edit->setFont(font);
  edit->setLineWrapMode(QPlainTextEdit::NoWrap);
  edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  edit->setUndoRedoEnabled(false);
  edit->resize(618, 305);
  return edit;
}

bool PlainTextAtEnd(QPlainTextEdit& edit) {
  return edit.verticalScrollBar()->value() == edit.verticalScrollBar()->maximum();
}

void LogControlPlainTextAppend(benchmark::State& state) {
  for (auto _ : state) {
    app::TMainForm form(BenchSettings());  // for the stamp and the font
    auto edit = PlainTextLog(form.font());
    MillionLines(
        state, *edit, [&](int i) { edit->appendPlainText(form.Stamp() + QStringLiteral(": ") + BenchLine(i)); },
        [&] { return PlainTextAtEnd(*edit); });
  }
}

void LogControlPlainTextCursor(benchmark::State& state) {
  for (auto _ : state) {
    app::TMainForm form(BenchSettings());
    auto edit = PlainTextLog(form.font());
    QTextCursor end(edit->document());
    MillionLines(
        state, *edit,
        [&](int i) {
          end.movePosition(QTextCursor::End);
          if (!edit->document()->isEmpty()) end.insertBlock();
          end.insertText(form.Stamp() + QStringLiteral(": ") + BenchLine(i));
          edit->verticalScrollBar()->setValue(edit->verticalScrollBar()->maximum());
        },
        [&] { return PlainTextAtEnd(*edit); });
  }
}

void RegisterOtherLogControls() {
  if (qEnvironmentVariableIntValue("SH_LOG_CONTROLS") != 1) return;
  benchmark::RegisterBenchmark("LogControlPlainTextAppend", LogControlPlainTextAppend)
      ->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("LogControlPlainTextCursor", LogControlPlainTextCursor)
      ->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("LogSaveMillionLinesWholeText", LogSaveMillionLinesWholeText)
      ->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
}

// One AppendLog from a worker thread: queue, run on the window thread, wake the caller.
void BridgeCallFromAnotherThread(benchmark::State& state) {
  app::TMainForm form(BenchSettings());
  app::TWindowBridge& bridge = form.WindowBridge();
  std::atomic<bool> stop{false}, exited{false};
  std::atomic<long> calls{0};
  // The window thread is the benchmark's own thread; the caller runs beside it.
  std::thread caller([&] {
    while (!stop) {
      bridge.RunOnWindowThread([] {});
      ++calls;
    }
    exited = true;
  });
  for (auto _ : state) {
    const long target = calls + 1;
    while (calls < target) QCoreApplication::processEvents(QEventLoop::AllEvents);
  }
  stop = true;
  while (!exited) QCoreApplication::processEvents(QEventLoop::AllEvents);  // serve the last call
  caller.join();
}
BENCHMARK(BridgeCallFromAnotherThread)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  RegisterOtherLogControls();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
