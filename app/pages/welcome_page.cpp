// Welcome page.
#include "pages/welcome_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "corvane_app.h"
#include "elevation.h"
#include "message_box.h"
#include "pages/category_list.h"
#include "settings_names.h"
#include "undelete_dlg.h"

CDlgHardDriveWelcome::CDlgHardDriveWelcome(CUndeleteDlg& dlg, QWidget* parent)
    : CCorvanePage(parent),
      m_dlg(dlg),
      m_list(new CCCategoryList(this)),
      m_drive(new QComboBox(this)),
      m_lastSession(new QCheckBox(Corvane_Text("IDS_LAST_SESSION_CHECK"), this)),
      m_sessionText(new QLabel(this)),
      m_status1(new QLabel(this)),
      m_status2(new QLabel(this)),
      m_restored(new QLabel(this)),
      m_scanNow(new QPushButton(Corvane_Text("IDS_SCAN_NOW"), this)) {
  setObjectName(QStringLiteral("CDlgHardDriveWelcome"));
  m_drive->setObjectName(QStringLiteral("drive"));
  m_drive->setEditable(true);
  m_drive->setInsertPolicy(QComboBox::NoInsert);
  m_drive->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  m_drive->setMinimumContentsLength(40);
  m_lastSession->setObjectName(QStringLiteral("lastSession"));
  m_sessionText->setObjectName(QStringLiteral("sessionText"));
  m_scanNow->setObjectName(QStringLiteral("scanNow"));
  m_scanNow->setDefault(true);
  for (QLabel* l : {m_sessionText, m_status1, m_status2, m_restored}) {
    l->setTextFormat(Qt::PlainText);
    l->setWordWrap(true);
  }

  auto* layout = new QVBoxLayout(this);
  auto* intro = new QLabel(Corvane_Text("IDS_WELCOME_TEXT"), this);
  intro->setWordWrap(true);
  layout->addWidget(intro);
  if (!Corvane_IsAdmin()) {
    // Said once, here: images and readable devices need no rights.
    auto* note = new QLabel(Corvane_Text("IDS_NOT_ADMIN"), this);
    note->setObjectName(QStringLiteral("notAdmin"));
    note->setWordWrap(true);
    auto* restart = new QPushButton(Corvane_Text("IDS_RESTART_ADMIN"), this);
    restart->setObjectName(QStringLiteral("restartAdmin"));
    auto* row = new QHBoxLayout;
    row->addWidget(note, 1);
    row->addWidget(restart);
    layout->addLayout(row);
    connect(restart, &QPushButton::clicked, this, [this] {
      if (Corvane_RestartElevated({}))
        m_dlg.close();
      else
        Corvane_MessageOk(this, Corvane_Text("IDS_RESTART_FAILED"));
    });
  }
  layout->addWidget(m_list, 1);
  auto* driveRow = new QHBoxLayout;
  driveRow->addWidget(new QLabel(Corvane_Text("IDS_DRIVE_LABEL"), this));
  driveRow->addWidget(m_drive, 1);
  auto* open = new QPushButton(Corvane_Text("IDS_OPEN_IMAGE"), this);
  open->setObjectName(QStringLiteral("openImage"));
  driveRow->addWidget(open);
  layout->addLayout(driveRow);
  layout->addWidget(m_lastSession);
  layout->addWidget(m_sessionText);
  auto* last = new QLabel(Corvane_Text("IDS_LAST_SCAN"), this);
  QFont bold = last->font();
  bold.setBold(true);
  last->setFont(bold);
  layout->addWidget(last);
  layout->addWidget(m_status1);
  layout->addWidget(m_status2);
  layout->addWidget(m_restored);
  auto* buttons = new QHBoxLayout;
  auto* settings = new QPushButton(Corvane_Text("IDS_SETTINGS"), this);
  settings->setObjectName(QStringLiteral("settings"));
  buttons->addWidget(settings);
  buttons->addStretch(1);
  buttons->addWidget(m_scanNow);
  layout->addLayout(buttons);

  connect(m_list, &CCCategoryList::chosen, this,
          [this](int index) { m_drive->setCurrentIndex(index); });
  connect(m_list, &CCCategoryList::activatedDrive, this, [this](int index) {
    choose(index);
    scanNow();
  });
  connect(m_drive, &QComboBox::activated, this, [this](int index) { m_list->choose(index); });
  connect(open, &QPushButton::clicked, this, &CDlgHardDriveWelcome::openImage);
  connect(settings, &QPushButton::clicked, &m_dlg, &CUndeleteDlg::showSettings);
  connect(m_scanNow, &QPushButton::clicked, this, &CDlgHardDriveWelcome::scanNow);
  refreshDrives();
}

void CDlgHardDriveWelcome::refreshDrives() {
  const int chosen = m_list->chosenIndex();
  m_list->setItems(m_dlg.drives());
  m_drive->clear();
  for (const DriveItem& item : m_dlg.drives()) m_drive->addItem(item.text);
  if (chosen >= 0 && chosen < m_drive->count())
    choose(chosen);
  else
    m_drive->setCurrentIndex(-1);
}

void CDlgHardDriveWelcome::choose(int index) {
  m_list->choose(index);
  m_drive->setCurrentIndex(index);
}

void CDlgHardDriveWelcome::enterPage() {
  m_dlg.setHeading(Corvane_Text("IDS_WELCOME_TITLE"));
  const QString description = m_dlg.sessionDescription();
  m_lastSession->setEnabled(!description.isNull());
  if (description.isNull()) m_lastSession->setChecked(false);
  m_sessionText->setText(description.isNull() ? Corvane_Text("IDS_NO_LAST_SESSION") : description);
  const CCorvaneSettings& s = m_dlg.settings();
  const QString none = Corvane_Text("IDS_NOT_SCANNED");
  m_status1->setText(s.string(kKeyLastScanStatus, kValueScanStatusLine1, none));
  m_status2->setText(s.string(kKeyLastScanStatus, kValueScanStatusLine2, none));
  m_restored->setText(Corvane_Text("IDS_FILES_RESTORED")
                          .arg(s.dword(kKeyLastScanStatus, kValueNumOfFilesRestoredTillDate, 0)));
}

void CDlgHardDriveWelcome::scanNow() {
  // The drive box holds either an item of the list or what the user typed there.
  const int index = m_drive->currentIndex();
  const QString typed = m_drive->currentText();
  const bool fromList = index >= 0 && index < m_drive->count() && m_drive->itemText(index) == typed;
  (void)m_dlg.scanNow(fromList ? index : -1, typed, m_lastSession->isChecked());
}

void CDlgHardDriveWelcome::openImage() {
  const QString path = QFileDialog::getOpenFileName(this, Corvane_Text("IDS_OPEN_IMAGE_TITLE"), {},
                                                    Corvane_Text("IDS_OPEN_IMAGE_FILTER"));
  if (path.isEmpty()) return;
  QString error;
  const int index = m_dlg.openImage(path, &error);
  if (index < 0) {
    Corvane_MessageOk(this, Corvane_Text("IDS_OPEN_IMAGE_FAILED").arg(error));
    return;
  }
  choose(index);
}
