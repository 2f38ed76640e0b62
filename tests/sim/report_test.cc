// The report page: texts of the run (timeline lines, SSIDs, reasons) cannot
// end the script element that holds the run's data.
#include <gtest/gtest.h>

#include "sim/report.h"

namespace {

TEST(Report, DataCannotEndItsScriptElement)
{
	std::string page = sim::report::page(R"({"text": "</script><script>x()</script><!--"})");
	const std::string open = "id=\"aircoord-report\">";
	size_t from = page.find(open);
	ASSERT_NE(from, std::string::npos);
	from += open.size();
	EXPECT_EQ(page.substr(from, page.find("</script>", from) - from),
		  R"({"text": "\u003c/script>\u003cscript>x()\u003c/script>\u003c!--"})");
}

} // namespace
