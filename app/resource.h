// Identifiers of the main dialog's controls.
#ifndef OSTREL_RESOURCE_H
#define OSTREL_RESOURCE_H

namespace ostrel {

constexpr int IDC_RESULT_BOX = 1000;        // the confirmed text
constexpr int IDC_STATUS_INDICATOR = 1003;  // "×", "△" or "○"

}  // namespace ostrel

#endif  // OSTREL_RESOURCE_H
