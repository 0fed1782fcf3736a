// Names of the per-user values the program keeps (application key and its LastScanStatus key).
#pragma once

#include <QString>

inline const QString kValueScanSettingType = QStringLiteral("ScanSettingType");
inline const QString kValueDontShowScanSettingNag = QStringLiteral("DontShowScanSettingNag");
inline const QString kKeyLastScanStatus = QStringLiteral("LastScanStatus");
inline const QString kValueScanStatusLine1 = QStringLiteral("ScanStatusLine1");
inline const QString kValueScanStatusLine2 = QStringLiteral("ScanStatusLine2");
inline const QString kValueLastOptionSelected = QStringLiteral("LastOptionSelected");
inline const QString kValueLastScanDate = QStringLiteral("LastScanDate");
inline const QString kValueNumOfFilesFound = QStringLiteral("NumOfFilesFound");
inline const QString kValueNumOfFilesRestoredTillDate =
    QStringLiteral("NumOfFilesRestoredTillDate");
