// Today's health figures as text, for the diagnostics bundle's summary.txt. Called on the
// main window's thread when the tray item starts a bundle.
#pragma once
#include <string>

std::string TodayHealthText();
