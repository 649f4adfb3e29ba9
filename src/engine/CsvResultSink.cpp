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
        resumeDescriptor_(context.ResumeDescriptor),
        onRowLost_(context.OnRowLost),
        file_(context.ProgramDir, context.Log, context.OpenDocument, context.TickCount) {}

  void Open() override {
    if (resumeFile_.isEmpty())
      file_.Open();
    else
      file_.OpenAppend(resumeFile_, resumeSize_, resumeDescriptor_);
    if (file_.LostRows() > 0 && onRowLost_) onRowLost_();  // the header did not get in
  }
  void WriteCard(const QString& address, const QString& pageText, bool inInactiveSet) override {
    const text::SupplierCard card = text::ParseSupplierCard(pageText);
    if (!file_.WriteRow(address, text::ActivityValue(options_.AllInARow, options_.Active, inInactiveSet),
                        card) &&
        onRowLost_)
      onRowLost_();
  }
  void WriteLines(const QByteArray& lines) override {
    if (!file_.WriteLines(lines) && onRowLost_) {
      for (qsizetype n = lines.count("\r\n"); n > 0; --n) onRowLost_();
    }
  }
  void Close() override { file_.Close(); }

 private:
  TRunOptions options_;
  QString resumeFile_;
  std::int64_t resumeSize_ = 0;
  int resumeDescriptor_ = -1;
  std::function<void()> onRowLost_;
  text::TResultFile file_;
};

}  // namespace

std::unique_ptr<IResultSink> CreateCsvResultSink(const TResultSinkContext& context) {
  return std::make_unique<TCsvResultSink>(context);
}

}  // namespace engine
