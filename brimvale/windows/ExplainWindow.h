#pragma once

#include "brimvale/catalogue/Problems.h"
#include "brimvale/integrations/Explainer.h"
#include "brimvale/platform/Published.h"
#include "brimvale/shell/Theme.h"
#include "brimvale/windows/ViewWork.h"

#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

class QVBoxLayout;

namespace corvane {

class ServiceManager;

// The window that shows the local model's explanation of one port's problem: the report the
// manager's `explaining` holds, then "Thinking…", then the answer or why there is none. A run
// starts when the window is shown and again whenever `explaining` changes to another report;
// an answer reaches the window only while the report it was asked about is still the one shown.
// Main thread only; the manager must outlive the window.
class ExplainWindow : public QWidget {
  Q_OBJECT

public:
  static constexpr int contentWidth = 420;

  // Asks the model about a report and answers once, on any thread.
  using Ask = std::function<void(const ProblemReport &, std::function<void(Explainer::Result)>)>;

  ExplainWindow(ServiceManager &manager, std::shared_ptr<MainQueue> main, Ask ask,
                QWidget *parent = nullptr);
  ~ExplainWindow() override;

  // The model at `server`, asked on a worker thread of each question's own, so that closing the
  // window never waits for an answer.
  static Ask askModel(ExplainerServer server = {});

  // Absent while thinking or when no report is chosen.
  const std::optional<Explainer::Result> &answer() const { return answer_; }
  // The report of the current run, if any.
  const std::optional<ProblemReport> &asked() const { return asked_; }
  bool isThinking() const { return work_.isRunning(); }

protected:
  void changeEvent(QEvent *event) override;
  void showEvent(QShowEvent *event) override;

private:
  void run();
  void render();

  ServiceManager &manager_;
  Ask ask_;
  std::optional<ProblemReport> asked_;
  std::optional<Explainer::Result> answer_;
  bool started_ = false;
  QWidget *content_ = nullptr;
  QVBoxLayout *layout_;
  Published<std::optional<ProblemReport>>::Subscription explainingWatch_;
  ViewWork work_;
  // The appearance the colours were taken for.
  Theme::Appearance appearance_ = Theme::appearance();
};

} // namespace corvane
