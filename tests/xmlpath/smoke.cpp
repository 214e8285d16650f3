#include <cstdio>

#include "test_util.h"
#include "xmlpath/replace.h"
#include "xmlpath/scanner.h"
using namespace xmltest;
TEST(Smoke, VendorCmd) {
    std::string t =
        std::string("<?xml version=\"1.0\" encoding=\"utf-8\" ?><cmd xmlns:ivec=\"") +
        ZN_NS_COMMON_URI + "\" xmlns:vxr=\"" + ZN_NS_VENDOR_URI +
        "\"><ivec:contents><ivec:operation>VendorCmd</ivec:operation><ivec:param_set "
        "servicetype=\"%s\"><ivec:jobID>00000001</ivec:jobID><vxr:ijoperation>ModeShift</"
        "vxr:ijoperation><vxr:ijmode>%s</vxr:ijmode></ivec:param_set></ivec:contents></cmd>";
    XmlQuery* q =
        MakeQuery(t, {{"cmd/ivec:contents/ivec:param_set servicetype", "\"scan\""},
                      {"cmd/ivec:contents/ivec:param_set servicetype=\"%s\"/vxr:ijmode", "1"},
                      {"cmd/ivec:contents/ivec:param_set servicetype=\"%s\"/ivec:jobID", " "}});
    int s = ReplaceValues(q);
    printf("status %d\n%s\n", s, Output(q).c_str());
    for (int i = 0; i < 3; ++i)
        printf("%d %lu %lu %lu\n", q->entries[i].status, q->entries[i].matchOffset,
               q->entries[i].matchLength, q->entries[i].valueOffset);
    DestroyQuery(q);
}
