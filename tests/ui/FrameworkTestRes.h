// Identifiers of the framework test template.
#pragma once

#define IDD_FRAMEWORK_TEST 900
#define IDC_T_RADIO_A 901
#define IDC_T_RADIO_B 902
#define IDC_T_LABEL 903
#define IDC_T_RADIO_C 904
#define IDC_T_RADIO_D 905
#define IDC_T_OWNERDRAW 906
#define IDC_T_EDIT 907
