#pragma once

class QProgressBar;
class QString;
class QWidget;

// The log line that says the launcher is ready: every update done, every program button enabled.
inline constexpr char allUpdatesDoneLine[] =
    "Todos os botões foram ativados, todas as atualizações estão completas!";

// The program buttons of the panel are switched together. A shown progress bar is a pending
// update, whatever its value.
namespace Gating {

void disableButtons(QWidget *panel);
// Enables every button unless a bar is shown; true when it did.
bool enableButtonsIfComplete(QWidget *panel);
// The bar named after the repository, or null.
QProgressBar *progressBar(QWidget *panel, const QString &repoName);

} // namespace Gating
