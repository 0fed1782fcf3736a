// The filter's editors: the fields both the results page's filter dialog (CDlgOptions) and the
// settings page (CDlgSettingsFilterOptions) show, and the two of them.
#pragma once

#include <QDialog>
#include <array>

#include "corvane_dialog.h"
#include "results/file_filter.h"

class QCheckBox;
class QDateEdit;
class QGroupBox;
class QLineEdit;
class QRadioButton;

/// Name patterns, deleted-only and show-empty boxes, date and size comparisons, states and
/// attributes, laid out in one widget.
class CFilterEditor : public QWidget {
  Q_OBJECT
 public:
  explicit CFilterEditor(QWidget* parent = nullptr);
  /// Shows @p rule in the fields.
  void load(const results::FilterRule& rule);
  /// The rule the fields describe; nullopt (after the message "Please specify one of the file
  /// health filter!") when no state box is checked.
  [[nodiscard]] std::optional<results::FilterRule> read(QWidget* messageParent);

  QLineEdit* patterns;
  QCheckBox* deletedOnly;
  QCheckBox* showEmpty;
  QGroupBox* dateGroup;  // checkable: checked when the picker holds a date
  QDateEdit* date;
  std::array<QRadioButton*, 5> dateModes;
  QLineEdit* sizeKB;
  std::array<QRadioButton*, 5> sizeModes;
  std::array<QCheckBox*, 6> states;
  std::array<QCheckBox*, 6> attributes;  // three-state: unchecked clear, checked set, partly either
};

/// The results page's filter dialog; accepted once the rule passed the check.
class CDlgOptions : public QDialog {
  Q_OBJECT
 public:
  explicit CDlgOptions(const results::FilterRule& rule, QWidget* parent = nullptr);
  [[nodiscard]] const results::FilterRule& rule() const { return m_rule; }
  [[nodiscard]] CFilterEditor* editor() const { return m_editor; }
  void accept() override;

 private:
  CFilterEditor* m_editor;
  results::FilterRule m_rule;
};

/// The filter page of the settings.
class CDlgSettingsFilterOptions : public CCorvanePage {
  Q_OBJECT
 public:
  explicit CDlgSettingsFilterOptions(QWidget* parent = nullptr);
  void load(const results::FilterRule& rule) { m_editor->load(rule); }
  [[nodiscard]] CFilterEditor* editor() const { return m_editor; }

 signals:
  /// Apply (the rule passed the check) or Defaults: store @p rule and re-run the filter; then
  /// confirm with @p confirmKey.
  void applied(const results::FilterRule& rule, const char* confirmKey);
  void back();

 private:
  CFilterEditor* m_editor;
};
