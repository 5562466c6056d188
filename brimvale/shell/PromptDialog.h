#pragma once

#include "brimvale/platform/Published.h"
#include "brimvale/shell/Theme.h"

#include <QDialog>
#include <QLineEdit>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QLabel;
class QPushButton;
class QVBoxLayout;
class QHBoxLayout;

namespace corvane {

// The small alert the prompts are made of: a title, a message, one or more text fields and a
// row of buttons. A button reads every field first, then runs its action, then closes the
// alert; so whatever the closing clears, the action has the text as typed. Main thread only.
class PromptDialog : public QDialog {
  Q_OBJECT

public:
  // Runs with the fields' texts, in the order the fields were added.
  using Action = std::function<void(const QStringList &texts)>;

  explicit PromptDialog(QWidget *parent = nullptr);

  void setTitle(const QString &title);
  void setMessage(const QString &message);
  QString title() const;
  QString message() const;

  QLineEdit *addField(const QString &placeholder);
  // A cancel button does nothing but close, and answers Escape too.
  QPushButton *addButton(const QString &title, Action action);
  QPushButton *addCancelButton(const QString &title);

  // Buttons one above the other, full width, for titles too long to stand side by side.
  void setButtonsStacked(bool stacked);

  QStringList texts() const;
  void setTexts(const QStringList &texts);
  const std::vector<QLineEdit *> &fields() const { return fields_; }
  const std::vector<QPushButton *> &buttons() const { return buttons_; }

  // A text field in the theme's colours for the current appearance: the field fill inside a
  // rounded hairline, the system font at 13 points.
  static void styleField(QLineEdit *field);

  // Shows the alert while `field` holds a value and sets it back to absent when the alert
  // closes, by a button or otherwise. Each new value is handed to `fill` before the alert
  // shows (absent to empty the fields), and a value already there when binding opens the
  // alert at once, filled: a prompt never opens empty over a stored value.
  template <typename T>
  void bind(Published<std::optional<T>> &field, std::function<void(const T *)> fill) {
    auto apply = [this, fill](const std::optional<T> &value) {
      fill(value ? &*value : nullptr);
      if (value)
        present();
      else if (isVisible())
        dismiss();
    };
    clear_ = [&field] { field.set(std::nullopt); };
    subscription_ = field.subscribe(apply);
    if (field.get())
      apply(field.get());
  }

protected:
  void done(int result) override;
  void changeEvent(QEvent *event) override;

private:
  // The theme's colours for the current appearance, on the alert and its fields.
  void applyTheme();
  void present();
  void dismiss();
  void buttonClicked(const Action &action, bool accepted);

  QLabel *title_;
  QLabel *message_;
  QVBoxLayout *fieldStack_;
  QHBoxLayout *buttonRow_;
  std::vector<QLineEdit *> fields_;
  std::vector<QPushButton *> buttons_;
  std::function<void()> clear_;
  // Ends the observation when the alert goes; outliving the manager is harmless.
  struct AnySubscription {
    virtual ~AnySubscription() = default;
  };
  template <typename S> struct Held : AnySubscription {
    explicit Held(S s) : subscription(std::move(s)) {}
    S subscription;
  };
  class SubscriptionSlot {
  public:
    template <typename S> SubscriptionSlot &operator=(S &&s) {
      held_ = std::make_unique<Held<std::decay_t<S>>>(std::forward<S>(s));
      return *this;
    }

  private:
    std::unique_ptr<AnySubscription> held_;
  };
  SubscriptionSlot subscription_;
  bool dismissing_ = false;
  Theme::Appearance appearance_ = Theme::Appearance::light;
};

} // namespace corvane
