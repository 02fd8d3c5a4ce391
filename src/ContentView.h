// The main window's content: a function of the diagnostics model.
#pragma once

#include "DiagnosticsViewModel.h"

#include <QWidget>

#include <memory>

namespace kelvane {

class ContentView : public QWidget {
    Q_OBJECT
public:
    explicit ContentView(std::shared_ptr<DiagnosticsViewModel> model, QWidget* parent = nullptr);

private:
    std::shared_ptr<DiagnosticsViewModel> model_;
};

} // namespace kelvane
