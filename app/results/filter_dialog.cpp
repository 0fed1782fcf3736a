// The filter's editors.
#include "results/filter_dialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDateEdit>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "corvane_app.h"
#include "message_box.h"

namespace {

constexpr qint64 kJulianDay1601 = 2305814;  // 1601-01-01, day 0 of a FILETIME
constexpr int kPatternLength = 64;          // the record holds 64 units and a terminator

const char* const kCompareKeys[5] = {"IDS_LESS_THAN", "IDS_LESS_THAN_EQUAL_TO", "IDS_EQUAL_TO",
                                     "IDS_GREAT_THAN", "IDS_GREAT_THAN_EQUAL_TO"};
const char* const kStateKeys[6] = {"IDS_STATE_UNRECOVERABLE", "IDS_STATE_BAD",
                                   "IDS_STATE_POOR",          "IDS_STATE_GOOD",
                                   "IDS_STATE_EXCELLENT",     "IDS_STATE_EXISTING"};
const char* const kAttributeKeys[6] = {"IDS_ATTR_ARCHIVE",    "IDS_ATTR_READ_ONLY",
                                       "IDS_ATTR_HIDDEN",     "IDS_ATTR_SYSTEM",
                                       "IDS_ATTR_COMPRESSED", "IDS_ATTR_ENCRYPTED"};

QGroupBox* compareGroup(const QString& title, std::array<QRadioButton*, 5>& buttons, QWidget* field,
                        QWidget* parent) {
  auto* group = new QGroupBox(title, parent);
  auto* layout = new QVBoxLayout(group);
  auto* exclusive = new QButtonGroup(group);
  for (int k = 0; k < 5; ++k) {
    buttons[k] = new QRadioButton(Corvane_Text(kCompareKeys[k]), group);
    exclusive->addButton(buttons[k], k);
    layout->addWidget(buttons[k]);
  }
  layout->addWidget(field);
  return group;
}

int checkedIndex(const std::array<QRadioButton*, 5>& buttons) {
  for (int k = 0; k < 5; ++k)
    if (buttons[k]->isChecked()) return k;
  return 0;
}

}  // namespace

CFilterEditor::CFilterEditor(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("CFilterEditor"));
  patterns = new QLineEdit(this);
  patterns->setObjectName(QStringLiteral("patterns"));
  patterns->setMaxLength(kPatternLength);
  patterns->setPlaceholderText(QStringLiteral("*.jpg;*.doc"));
  deletedOnly = new QCheckBox(Corvane_Text("IDS_FILTER_DELETED_ONLY"), this);
  deletedOnly->setObjectName(QStringLiteral("deletedOnly"));
  showEmpty = new QCheckBox(Corvane_Text("IDS_FILTER_SHOW_EMPTY"), this);
  showEmpty->setObjectName(QStringLiteral("showEmpty"));

  date = new QDateEdit(this);
  date->setObjectName(QStringLiteral("date"));
  date->setCalendarPopup(true);
  date->setDisplayFormat(QLocale().dateFormat(QLocale::ShortFormat));
  dateGroup = compareGroup(Corvane_Text("IDS_FILTER_DATE"), dateModes, date, this);
  dateGroup->setObjectName(QStringLiteral("dateGroup"));
  dateGroup->setCheckable(true);

  sizeKB = new QLineEdit(this);
  sizeKB->setObjectName(QStringLiteral("sizeKB"));
  sizeKB->setPlaceholderText(Corvane_Text("IDS_FILTER_SIZE_UNIT"));
  auto* sizeGroup = compareGroup(Corvane_Text("IDS_FILTER_SIZE"), sizeModes, sizeKB, this);

  auto* stateGroup = new QGroupBox(Corvane_Text("IDS_FILTER_STATES"), this);
  auto* stateLayout = new QVBoxLayout(stateGroup);
  for (int k = 0; k < 6; ++k) {
    states[k] = new QCheckBox(Corvane_Text(kStateKeys[k]), stateGroup);
    states[k]->setObjectName(QStringLiteral("state%1").arg(k));
    stateLayout->addWidget(states[k]);
  }
  auto* attributeGroup = new QGroupBox(Corvane_Text("IDS_FILTER_ATTRIBUTES"), this);
  auto* attributeLayout = new QVBoxLayout(attributeGroup);
  for (int k = 0; k < 6; ++k) {
    attributes[k] = new QCheckBox(Corvane_Text(kAttributeKeys[k]), attributeGroup);
    attributes[k]->setObjectName(QStringLiteral("attribute%1").arg(k));
    attributes[k]->setTristate(true);
    attributeLayout->addWidget(attributes[k]);
  }
  attributeLayout->addWidget(
      new QLabel(Corvane_Text("IDS_FILTER_ATTRIBUTES_HINT"), attributeGroup));

  auto* names = new QFormLayout;
  names->addRow(Corvane_Text("IDS_FILTER_NAMES"), patterns);
  auto* grid = new QGridLayout(this);
  grid->addLayout(names, 0, 0, 1, 2);
  grid->addWidget(deletedOnly, 1, 0);
  grid->addWidget(showEmpty, 1, 1);
  grid->addWidget(dateGroup, 2, 0);
  grid->addWidget(sizeGroup, 2, 1);
  grid->addWidget(stateGroup, 3, 0);
  grid->addWidget(attributeGroup, 3, 1);
}

void CFilterEditor::load(const results::FilterRule& rule) {
  patterns->setText(QString::fromStdU16String(rule.patterns).left(kPatternLength));
  deletedOnly->setChecked((rule.flags & results::kFilterDeletedOnly) != 0);
  showEmpty->setChecked((rule.flags & results::kFilterShowEmpty) != 0);
  dateGroup->setChecked((rule.flags & results::kFilterDate) != 0);
  dateModes[rule.dateMode < 5 ? rule.dateMode : 0]->setChecked(true);
  date->setDate(rule.date != 0
                    ? QDate::fromJulianDay(static_cast<qint64>(rule.date / results::kTicksPerDay) +
                                           kJulianDay1601)
                    : QDate::currentDate());
  sizeModes[rule.sizeMode < 5 ? rule.sizeMode : 0]->setChecked(true);
  sizeKB->setText((rule.flags & results::kFilterSize) != 0 ? QString::number(rule.sizeKB)
                                                           : QString());
  for (int k = 0; k < 6; ++k) states[k]->setChecked(rule.stateShown(static_cast<unsigned>(k)));
  for (int k = 0; k < 6; ++k) {
    switch (rule.attrMode(k)) {
      case results::AttrMode::Clear:
        attributes[k]->setCheckState(Qt::Unchecked);
        break;
      case results::AttrMode::Set:
        attributes[k]->setCheckState(Qt::Checked);
        break;
      default:
        attributes[k]->setCheckState(Qt::PartiallyChecked);
        break;
    }
  }
}

std::optional<results::FilterRule> CFilterEditor::read(QWidget* messageParent) {
  results::FilterRule rule;
  std::uint32_t flags = 0;
  for (int k = 0; k < 6; ++k)
    if (states[k]->isChecked()) flags |= 1u << (results::kFilterStateShift + k);
  if (flags == 0) {
    Corvane_MessageOk(messageParent,
                      QStringLiteral("Please specify one of the file health filter!"));
    return std::nullopt;
  }
  rule.patterns = patterns->text().left(kPatternLength).toStdU16String();
  if (deletedOnly->isChecked()) flags |= results::kFilterDeletedOnly;
  if (showEmpty->isChecked()) flags |= results::kFilterShowEmpty;
  rule.dateMode = static_cast<std::uint8_t>(checkedIndex(dateModes));
  if (dateGroup->isChecked() && date->date().isValid()) {
    flags |= results::kFilterDate;
    // The chosen day at 00:00: whole days since 1601 in FILETIME ticks.
    const qint64 days = date->date().toJulianDay() - kJulianDay1601;
    rule.date = days > 0 ? static_cast<std::uint64_t>(days) * results::kTicksPerDay : 0;
  }
  rule.sizeMode = static_cast<std::uint8_t>(checkedIndex(sizeModes));
  bool number = false;
  const uint size = sizeKB->text().trimmed().toUInt(&number);
  if (number) {
    flags |= results::kFilterSize;
    rule.sizeKB = size;
  }
  rule.flags = flags;
  for (int k = 0; k < 6; ++k) {
    const Qt::CheckState s = attributes[k]->checkState();
    rule.setAttrMode(k, s == Qt::Unchecked ? results::AttrMode::Clear
                        : s == Qt::Checked ? results::AttrMode::Set
                                           : results::AttrMode::Either);
  }
  return rule;
}

CDlgOptions::CDlgOptions(const results::FilterRule& rule, QWidget* parent)
    : QDialog(parent), m_editor(new CFilterEditor(this)), m_rule(rule) {
  setObjectName(QStringLiteral("CDlgOptions"));
  setWindowTitle(Corvane_Text("IDS_FILTER_TITLE"));
  m_editor->load(rule);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_editor);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &CDlgOptions::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &CDlgOptions::reject);
}

void CDlgOptions::accept() {
  const auto rule = m_editor->read(this);
  if (!rule) return;  // stays open: nothing applied
  m_rule = *rule;
  QDialog::accept();
}

CDlgSettingsFilterOptions::CDlgSettingsFilterOptions(QWidget* parent)
    : CCorvanePage(parent), m_editor(new CFilterEditor(this)) {
  setObjectName(QStringLiteral("CDlgSettingsFilterOptions"));
  auto* apply = new QPushButton(Corvane_Text("IDS_APPLY"), this);
  apply->setObjectName(QStringLiteral("apply"));
  auto* defaults = new QPushButton(Corvane_Text("IDS_DEFAULTS"), this);
  defaults->setObjectName(QStringLiteral("defaults"));
  auto* backButton = new QPushButton(Corvane_Text("IDS_BACK"), this);
  backButton->setObjectName(QStringLiteral("back"));
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(backButton);
  buttons->addStretch(1);
  buttons->addWidget(defaults);
  buttons->addWidget(apply);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_editor);
  layout->addLayout(buttons);
  connect(apply, &QPushButton::clicked, this, [this] {
    if (const auto rule = m_editor->read(this)) emit applied(*rule, "IDS_SETTING_APPLIED");
  });
  connect(defaults, &QPushButton::clicked, this, [this] {
    const results::FilterRule rule;
    m_editor->load(rule);
    emit applied(rule, "IDS_DEFAULT_SETTING_APPLIED");
  });
  connect(backButton, &QPushButton::clicked, this, &CDlgSettingsFilterOptions::back);
}
