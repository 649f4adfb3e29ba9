// The program's result sink: every fetched card read with the card parser and written as one
// row of data%d.csv beside the program.
#include "engine/ResultSink.h"
#include "text/ResultFile.h"
#include "text/SupplierCard.h"

namespace engine {

namespace {

class TCsvResultSink : public IResultSink {
 public:
  explicit TCsvResultSink(const TResultSinkContext& context)
      : options_(context.Options),
        resumeFile_(context.ResumeFile),
        resumeSize_(context.ResumeSize),
        file_(context.ProgramDir, context.Log, context.OpenDocument, context.TickCount) {}

  void Open() override {
    if (resumeFile_.isEmpty())
      file_.Open();
    else
      file_.OpenAppend(resumeFile_, resumeSize_);
  }
  void WriteCard(const QString& address, const QString& pageText, bool inInactiveSet) override {
    const text::SupplierCard card = text::ParseSupplierCard(pageText);
    file_.WriteRow(address, text::ActivityValue(options_.AllInARow, options_.Active, inInactiveSet),
                   card);
  }
  void WriteLines(const QByteArray& lines) override { file_.WriteLines(lines); }
  void Close() override { file_.Close(); }

 private:
  TRunOptions options_;
  QString resumeFile_;
  std::int64_t resumeSize_ = 0;
  text::TResultFile file_;
};

}  // namespace

std::unique_ptr<IResultSink> CreateCsvResultSink(const TResultSinkContext& context) {
  return std::make_unique<TCsvResultSink>(context);
}

}  // namespace engine
