#pragma once

class QApplication;

namespace nimo {

// Names, icon, fonts and editing shortcuts of the client's application object; the same for the
// client and for tools that show its windows.
void configureApplication(QApplication& app);

} // namespace nimo
