// The Lifetime group's command.
#include "app/Fotonel.h"

#include "app/LifetimeGroup.h"
#include "files/pqFile.h"
#include "scans/RSD.h"

#include <QCheckBox>

void Fotonel::RunLifetimes()
{
    RunCommand([this] {
        if (!file || !file->ok || !scan) {
            AddMessage(MessageError, tr("Lifetimes need an open measurement"));
            return;
        }
        if (!scan->ComputeLifetimes(GetLifetimeSettings(), lifetimeGroup->phasors->isChecked(),
                                    lifetimeGroup->fits->isChecked()))
            return;
        scan->WriteLifetimes();
        scan->CreateLifetimeTabs();
    });
}
