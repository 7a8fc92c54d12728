#include "Tally.h"

BoxOutcome OutcomeOf(const BoxRecord& r)
{
    if (r.result == "restarted")
        return BoxOutcome::Restarted;
    if (r.result == "interrupted")
        return BoxOutcome::Interrupted;
    return IsCompleted(r) ? BoxOutcome::Completed : BoxOutcome::Failed;
}

void ShiftTally::Add(const BoxRecord& r)
{
    lastOutcome = OutcomeOf(r);
    switch (lastOutcome) {
    case BoxOutcome::Completed:
        ++completed;
        failuresInARow = 0;
        break;
    case BoxOutcome::Failed:
        ++failed;
        ++failuresInARow;
        break;
    case BoxOutcome::Restarted: ++restarted; break;
    case BoxOutcome::Interrupted: ++interrupted; break;
    }
    served += r.served;
    seconds += r.transferSeconds;
    last = r.result;
    lastStatus = r.status;
    lastAskedPercent = RequestedPercent(r);
    lastPartial = IsCompleted(r) && r.addressable > 0 && static_cast<long long>(r.requested) < r.addressable;
}

void ShiftTally::AddUp(const ShiftTally& o)
{
    completed += o.completed;
    failed += o.failed;
    restarted += o.restarted;
    interrupted += o.interrupted;
    served += o.served;
    seconds += o.seconds;
}
