#include "updater/editor_updater.h"

EditorUpdater::EditorUpdater(const std::string&, const std::string&) {}
EditorUpdater::~EditorUpdater() = default;
void EditorUpdater::startUpdateCheck() {}
