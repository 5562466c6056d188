#include "brimvale/shell/PromptDialog.h"

#include "brimvale/shell/Theme.h"
#include "brimvale/shell/WindowButtonStyle.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace corvane {

namespace {
// Wide enough for the longest placeholder ("Note, such as …") at the fields' 13 points.
constexpr int alertWidth = 330;
}

PromptDialog::PromptDialog(QWidget *parent) : QDialog(parent) {
  setWindowModality(Qt::ApplicationModal);
  setFixedWidth(alertWidth);
  auto *stack = new QVBoxLayout(this);
  stack->setContentsMargins(18, 18, 18, 16);
  stack->setSpacing(10);
  title_ = new QLabel(this);
  title_->setObjectName(QStringLiteral("promptTitle"));
  title_->setAlignment(Qt::AlignHCenter);
  title_->setWordWrap(true);
  QFont bold = title_->font();
  bold.setBold(true);
  title_->setFont(bold);
  message_ = new QLabel(this);
  message_->setObjectName(QStringLiteral("promptMessage"));
  message_->setAlignment(Qt::AlignHCenter);
  message_->setWordWrap(true);
  fieldStack_ = new QVBoxLayout;
  fieldStack_->setSpacing(6);
  buttonRow_ = new QHBoxLayout;
  buttonRow_->setSpacing(8);
  buttonRow_->addStretch(1);
  stack->addWidget(title_);
  stack->addWidget(message_);
  stack->addLayout(fieldStack_);
  stack->addLayout(buttonRow_);
  applyTheme();
}

void PromptDialog::applyTheme() {
  appearance_ = Theme::appearance();
  setAutoFillBackground(true);
  QPalette colours = palette();
  colours.setColor(QPalette::Window, Theme::background.resolved());
  colours.setColor(QPalette::WindowText, Theme::text.resolved());
  setPalette(colours);
  QPalette muted = message_->palette();
  muted.setColor(QPalette::WindowText, Theme::textMuted.resolved());
  message_->setPalette(muted);
  for (QLineEdit *field : fields_)
    styleField(field);
}

void PromptDialog::styleField(QLineEdit *field) {
  field->setFont(Theme::system(13));
  field->setMinimumHeight(28);
  field->setStyleSheet(
      QStringLiteral("QLineEdit { background: %1; color: %2; border: 1px solid %3; "
                     "border-radius: 6px; padding: 0 6px; selection-background-color: %4; }")
          .arg(Theme::field.resolved().name(), Theme::text.resolved().name(),
               Theme::lineStrong.resolved().name(), Theme::accent.resolved().name()));
  QPalette placeholder = field->palette();
  placeholder.setColor(QPalette::PlaceholderText, Theme::textFaint.resolved());
  field->setPalette(placeholder);
}

void PromptDialog::changeEvent(QEvent *event) {
  QDialog::changeEvent(event);
  // Colours are taken when set: take them again in a new appearance.
  if ((event->type() == QEvent::ApplicationPaletteChange ||
       event->type() == QEvent::PaletteChange) &&
      appearance_ != Theme::appearance())
    applyTheme();
}

void PromptDialog::setTitle(const QString &title) {
  title_->setText(title);
  setWindowTitle(title);
}

void PromptDialog::setMessage(const QString &message) {
  message_->setText(message);
}

QString PromptDialog::title() const {
  return title_->text();
}

QString PromptDialog::message() const {
  return message_->text();
}

QLineEdit *PromptDialog::addField(const QString &placeholder) {
  auto *field = new QLineEdit(this);
  field->setPlaceholderText(placeholder);
  field->setObjectName(QStringLiteral("promptField%1").arg(fields_.size()));
  styleField(field);
  fieldStack_->addWidget(field);
  fields_.push_back(field);
  return field;
}

QPushButton *PromptDialog::addButton(const QString &title, Action action) {
  auto *button = new QPushButton(title, this);
  button->setAutoDefault(false);
  WindowButtonStyle::apply(button);
  // The first action button is the one Return presses.
  if (std::none_of(buttons_.begin(), buttons_.end(),
                   [](QPushButton *each) { return each->isDefault(); }))
    button->setDefault(true);
  connect(button, &QPushButton::clicked, this,
          [this, action = std::move(action)] { buttonClicked(action, true); });
  buttonRow_->addWidget(button);
  buttons_.push_back(button);
  return button;
}

QPushButton *PromptDialog::addCancelButton(const QString &title) {
  auto *button = new QPushButton(title, this);
  button->setAutoDefault(false);
  WindowButtonStyle::apply(button);
  connect(button, &QPushButton::clicked, this, [this] { buttonClicked({}, false); });
  buttonRow_->addWidget(button);
  buttons_.push_back(button);
  return button;
}

void PromptDialog::setButtonsStacked(bool stacked) {
  buttonRow_->setDirection(stacked ? QBoxLayout::TopToBottom : QBoxLayout::LeftToRight);
}

QStringList PromptDialog::texts() const {
  QStringList all;
  for (const QLineEdit *field : fields_)
    all << field->text();
  return all;
}

void PromptDialog::setTexts(const QStringList &texts) {
  for (std::size_t i = 0; i < fields_.size(); ++i)
    fields_[i]->setText(i < static_cast<std::size_t>(texts.size()) ? texts[static_cast<int>(i)]
                                                                   : QString());
}

void PromptDialog::buttonClicked(const Action &action, bool accepted) {
  // Read before anything closes: clearing the manager's field refills the fields.
  const QStringList typed = texts();
  if (action)
    action(typed);
  if (accepted)
    accept();
  else
    reject();
}

void PromptDialog::present() {
  if (!isVisible()) {
    show();
    if (!fields_.empty())
      fields_.front()->setFocus();
  }
}

void PromptDialog::dismiss() {
  dismissing_ = true;
  reject();
  dismissing_ = false;
}

void PromptDialog::done(int result) {
  QDialog::done(result);
  // However it closed (a button, Escape, the window manager), the request is over.
  if (!dismissing_ && clear_)
    clear_();
}

} // namespace corvane
