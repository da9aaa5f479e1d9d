#include "app/Fotonel.h"

#include "files/pqFile.h"
#include "ui_Fotonel.h"

// The parameter boxes keep their limits through FormControls, which the
// command-line converter shares; these slots only say which box changed.

void Fotonel::on_binsize_editingFinished() { controls.BinsizeEdited(); }

void Fotonel::on_Ch4_Cursor_Max_editingFinished() { controls.CursorMaximumEdited(4); }
void Fotonel::on_Ch4_Cursor_Min_editingFinished() { controls.CursorMinimumEdited(4); }
void Fotonel::on_Ch3_Cursor_Max_editingFinished() { controls.CursorMaximumEdited(3); }
void Fotonel::on_Ch3_Cursor_Min_editingFinished() { controls.CursorMinimumEdited(3); }
void Fotonel::on_Ch2_Cursor_Max_editingFinished() { controls.CursorMaximumEdited(2); }
void Fotonel::on_Ch2_Cursor_Min_editingFinished() { controls.CursorMinimumEdited(2); }
void Fotonel::on_Ch1_Cursor_Max_editingFinished() { controls.CursorMaximumEdited(1); }
void Fotonel::on_Ch1_Cursor_Min_editingFinished() { controls.CursorMinimumEdited(1); }

void Fotonel::on_tmaxXCF_editingFinished() { controls.TmaxEdited(); }

void Fotonel::on_ncasc_valueChanged(int) { controls.UpdateTmax(); }
void Fotonel::on_nrbins_valueChanged(int) { controls.UpdateTmax(); }
void Fotonel::on_dtau_valueChanged(double) { controls.UpdateTmax(); }
void Fotonel::on_ncasc_editingFinished() { controls.UpdateTmax(); }
void Fotonel::on_nrbins_editingFinished() { controls.UpdateTmax(); }
void Fotonel::on_dtau_editingFinished() { controls.UpdateTmax(); }

void Fotonel::on_ResetGatingButton_clicked()
{
    // Without a file the gates still open to the fallback period.
    controls.ResetGating(file ? file->DelayRange() : 0);
}

void Fotonel::on_Ch4_Gating_Max_valueChanged(double) { controls.GateMaximumChanged(4); }
void Fotonel::on_Ch3_Gating_Max_valueChanged(double) { controls.GateMaximumChanged(3); }
void Fotonel::on_Ch2_Gating_Max_valueChanged(double) { controls.GateMaximumChanged(2); }
void Fotonel::on_Ch1_Gating_Max_valueChanged(double) { controls.GateMaximumChanged(1); }
void Fotonel::on_Ch4_Gating_Min_valueChanged(double) { controls.GateMinimumChanged(4); }
void Fotonel::on_Ch3_Gating_Min_valueChanged(double) { controls.GateMinimumChanged(3); }
void Fotonel::on_Ch2_Gating_Min_valueChanged(double) { controls.GateMinimumChanged(2); }
void Fotonel::on_Ch1_Gating_Min_valueChanged(double) { controls.GateMinimumChanged(1); }
