// The results part of the screenshot walk (tests/gui/walk_pages.cpp).
#pragma once

#include <functional>

class CUndeleteDlg;

/// On the results page of a finished scan: checks deleted files, shoots the page, recovers them
/// into a scratch folder and shoots the finish page. @p shoot saves the screen under a name.
bool Walk_Results(CUndeleteDlg& dlg, const std::function<bool(const char* name)>& shoot);
