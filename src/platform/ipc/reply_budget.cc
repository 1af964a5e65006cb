#include "platform/ipc/reply_budget.h"

#include "common/limits.h"
#include "platform/log/refusal_report.h"

namespace smcd::platform::ipc {

MemoryBudget& replyBudget() {
    static MemoryBudget budget(limits::kReplyBudget, limits::kReplyBudgetPerUser);
    return budget;
}

void logReplyRefused(std::uint32_t uid, MemoryBudget::Refusal refusal, const MemoryBudget& budget) {
    static RefusalReport overShare("replies refused over their user's share");
    static RefusalReport overBudget("replies refused over the budget of all connections");
    switch (refusal) {
        case MemoryBudget::Refusal::userAtShare:
            SMCD_LOG_REFUSAL(overShare,
                             "replies of uid %{public}u at their share of %{public}zu bytes; connection invalidated "
                             "(%{public}zu more since the last such line)",
                             uid, budget.perUser());
            return;
        case MemoryBudget::Refusal::budgetFull:
            SMCD_LOG_REFUSAL(overBudget,
                             "replies of all connections at their limit of %{public}zu bytes; connection invalidated "
                             "(%{public}zu more since the last such line)",
                             budget.capacity());
            return;
    }
}

}  // namespace smcd::platform::ipc
