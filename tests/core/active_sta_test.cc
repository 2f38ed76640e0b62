#include "src/active_sta.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/core/sta_util.h"

namespace {

using statest::LogCapture;
using statest::Mac;
using statest::plain;

const Mac kA = {0x02, 0x00, 0x00, 0xaa, 0x00, 0x01};
const Mac kB = {0x02, 0x00, 0x00, 0xbb, 0x00, 0x02};
const Mac kC = {0x02, 0x00, 0x00, 0xcc, 0x00, 0x03};
const Mac kZero = {};

class StationTable : public ::testing::Test {
protected:
	void SetUp() override
	{
		as_table_attach(&table_);
		ASSERT_EQ(count(), 0u) << "an earlier test left stations behind";
	}
	void TearDown() override { as_clean_all(table_); }

	size_t count()
	{
		size_t n = 0;
		for (int b = 0; b < AS_TABLE_SIZE; b++)
			for (struct active_sta *s = table_[b]; s; s = s->next)
				n++;
		return n;
	}
	std::vector<Mac> chain(unsigned int b)
	{
		std::vector<Mac> out;
		for (struct active_sta *s = table_[b]; s; s = s->next) {
			Mac m;
			memcpy(m.data(), s->macaddr, 6);
			out.push_back(m);
		}
		return out;
	}

	struct active_sta **table_ = nullptr;
	LogCapture log_;
};

TEST_F(StationTable, AddressesSharingTheLastThreeBytesShareAChainAndAreBothFound)
{
	const Mac own = {0x5c, 0xaa, 0xbb, 0x01, 0x02, 0x03};
	const Mac translated = {0x02, 0x12, 0x34, 0x01, 0x02, 0x03};

	ASSERT_NE(as_update_entry(table_, own.data(), kA.data()), nullptr);
	ASSERT_NE(as_update_entry(table_, translated.data(), kB.data()), nullptr);

	EXPECT_EQ(as_bucket(own.data()), as_bucket(translated.data()));
	EXPECT_EQ(chain(as_bucket(own.data())), (std::vector<Mac>{translated, own}));
	struct active_sta *s = as_lookup(table_, own.data());
	ASSERT_NE(s, nullptr);
	EXPECT_EQ(0, memcmp(s->bssid, kA.data(), 6));
	s = as_lookup(table_, translated.data());
	ASSERT_NE(s, nullptr);
	EXPECT_EQ(0, memcmp(s->bssid, kB.data(), 6));
}

TEST_F(StationTable, RemovingFromAChainOfThreeKeepsTheOthers)
{
	const Mac m0 = {0x00, 0x00, 0x00, 0x01, 0x02, 0x03};
	const Mac m1 = {0x06, 0x00, 0x00, 0x01, 0x02, 0x03};
	const Mac m2 = {0x0a, 0x00, 0x00, 0x01, 0x02, 0x03};
	// Inserted m0, m1, m2: the chain reads m2, m1, m0.
	const struct {
		const char *name;
		Mac removed;
		std::vector<Mac> left;
	} cases[] = {
		{"head", m2, {m1, m0}},
		{"middle", m1, {m2, m0}},
		{"tail", m0, {m2, m1}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		for (const Mac &m : {m0, m1, m2})
			ASSERT_NE(as_update_entry(table_, m.data(), kA.data()), nullptr);
		ASSERT_EQ(chain(as_bucket(m0.data())), (std::vector<Mac>{m2, m1, m0}));

		log_.clear();
		as_clean_entry(table_, c.removed.data(), kA.data());

		EXPECT_EQ(chain(as_bucket(m0.data())), c.left);
		EXPECT_EQ(as_lookup(table_, c.removed.data()), nullptr);
		for (const Mac &m : c.left)
			EXPECT_NE(as_lookup(table_, m.data()), nullptr);
		char line[80];
		snprintf(line, sizeof(line),
			 "Remove STA %02x:%02x:%02x:%02x:%02x:%02x from active STAs\n",
			 c.removed[0], c.removed[1], c.removed[2], c.removed[3], c.removed[4],
			 c.removed[5]);
		EXPECT_EQ(log_.text(), plain(line));
		as_clean_all(table_);
	}
}

TEST_F(StationTable, NewStationStartsWithoutHistory)
{
	const Mac sta = {0x5c, 0xaa, 0xbb, 0x01, 0x02, 0x03};

	struct active_sta *s = as_update_entry(table_, sta.data(), kA.data());

	ASSERT_NE(s, nullptr);
	EXPECT_EQ(s, as_lookup(table_, sta.data()));
	EXPECT_EQ(0, memcmp(s->macaddr, sta.data(), 6));
	EXPECT_EQ(0, memcmp(s->bssid, kA.data(), 6));
	EXPECT_EQ(0, memcmp(s->old_bssid, kZero.data(), 6));
	EXPECT_EQ(0, memcmp(s->best_nbr_bssid, kZero.data(), 6));
	EXPECT_EQ(s->best_nbr_rssi, -127);
	EXPECT_EQ(s->rssi, 0);
	EXPECT_EQ(log_.text(),
		  plain("Add STA 5c:aa:bb:01:02:03 with bssid 02:00:00:aa:00:01\n"));
}

TEST_F(StationTable, UpdateKeepsTheBssItCameFromOnlyWhenItMoves)
{
	const Mac sta = {0x5c, 0xaa, 0xbb, 0x01, 0x02, 0x03};
	struct active_sta *s = as_update_entry(table_, sta.data(), kA.data());
	ASSERT_NE(s, nullptr);
	s->rssi = -70;
	s->best_nbr_rssi = -60;
	s->best_nbr_bssid[0] = 0x42;

	// Moving to B: A becomes the old BSS.
	log_.clear();
	EXPECT_EQ(as_update_entry(table_, sta.data(), kB.data()), s);
	EXPECT_EQ(0, memcmp(s->bssid, kB.data(), 6));
	EXPECT_EQ(0, memcmp(s->old_bssid, kA.data(), 6));
	EXPECT_EQ(log_.text(),
		  plain("Set STA 5c:aa:bb:01:02:03 bssid to 02:00:00:bb:00:02\n"));

	// B again: the line is written, A stays the old BSS.
	log_.clear();
	EXPECT_EQ(as_update_entry(table_, sta.data(), kB.data()), s);
	EXPECT_EQ(0, memcmp(s->bssid, kB.data(), 6));
	EXPECT_EQ(0, memcmp(s->old_bssid, kA.data(), 6));
	EXPECT_EQ(log_.text(),
		  plain("Set STA 5c:aa:bb:01:02:03 bssid to 02:00:00:bb:00:02\n"));

	// Steering data belongs to the low-signal pass, not to the move.
	EXPECT_EQ(s->rssi, -70);
	EXPECT_EQ(s->best_nbr_rssi, -60);
	EXPECT_EQ(s->best_nbr_bssid[0], 0x42);
	EXPECT_EQ(count(), 1u);
}

TEST_F(StationTable, DisassociationFromEachBssOfARoamedStation)
{
	const Mac sta = {0x5c, 0xaa, 0xbb, 0x01, 0x02, 0x03};
	const struct {
		const char *name;
		Mac left;
		bool kept;
	} cases[] = {
		{"late report of the old BSS", kA, true},
		{"the current BSS", kB, false},
		{"a BSS it was never on", kC, false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		as_update_entry(table_, sta.data(), kA.data());
		as_update_entry(table_, sta.data(), kB.data());

		log_.clear();
		as_clean_entry(table_, sta.data(), c.left.data());

		struct active_sta *s = as_lookup(table_, sta.data());
		if (c.kept) {
			ASSERT_NE(s, nullptr);
			EXPECT_EQ(0, memcmp(s->bssid, kB.data(), 6));
			EXPECT_EQ(0, memcmp(s->old_bssid, kZero.data(), 6));
			EXPECT_EQ(log_.text(), "");
		} else {
			EXPECT_EQ(s, nullptr);
			EXPECT_EQ(log_.text(),
				  plain("Remove STA 5c:aa:bb:01:02:03 from active STAs\n"));
		}
		as_clean_all(table_);
	}
}

TEST_F(StationTable, UnknownStationIsNotTouchedByDisassociation)
{
	const Mac sta = {0x5c, 0xaa, 0xbb, 0x01, 0x02, 0x03};
	const Mac other = {0x5c, 0xaa, 0xbc, 0x01, 0x02, 0x03};
	as_update_entry(table_, sta.data(), kA.data());

	log_.clear();
	as_clean_entry(table_, other.data(), kA.data());

	EXPECT_NE(as_lookup(table_, sta.data()), nullptr);
	EXPECT_EQ(log_.text(), "");
}

TEST_F(StationTable, AllZeroAddressIsNeverFoundNorEntered)
{
	const Mac sta = {0x00, 0x00, 0x00, 0x01, 0x02, 0x03};
	as_update_entry(table_, sta.data(), kA.data());
	// Make bucket 0 non-empty, so the lookup has a chain to walk.
	const Mac in_bucket0 = {0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
	as_update_entry(table_, in_bucket0.data(), kA.data());

	EXPECT_EQ(as_lookup(table_, kZero.data()), nullptr);
	log_.clear();
	EXPECT_EQ(as_update_entry(table_, kZero.data(), kA.data()), nullptr);
	EXPECT_EQ(as_update_entry(table_, kZero.data(), kA.data()), nullptr);
	EXPECT_EQ(count(), 2u);
	as_clean_entry(table_, kZero.data(), kA.data());
	EXPECT_EQ(count(), 2u);
	EXPECT_EQ(log_.text(), "");
}

// The table stays bounded: a new station in a full table evicts the least
// recently heard one, and a station silent for a day is dropped by the next
// update; heard-of stations (updated, or touched by a low-RSSI report) stay.
TEST_F(StationTable, FullOrStaleTableLetsTheLeastRecentlyHeardGo)
{
	auto mac = [](int i) {
		return Mac{0x02, 0x00, static_cast<uint8_t>(i >> 16), static_cast<uint8_t>(i >> 8),
			   static_cast<uint8_t>(i), 0x01};
	};
	const Mac newcomer = {0x5c, 0x00, 0x00, 0x00, 0x00, 0x09};
	const struct {
		const char *name;
		int fill;
		bool age_first; // station 1 has not been heard of for a day
		const char *line;
	} cases[] = {
		{"full table", AS_MAX_STA, false,
		 "Evict STA 02:00:00:00:01:01: table full (4096 stations)\n"},
		// A second may pass before the update looks.
		{"a day of silence", 3, true, "Drop STA 02:00:00:00:01:01: not heard of for 8640"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		for (int i = 0; i < c.fill; i++)
			ASSERT_NE(as_update_entry(table_, mac(i).data(), kA.data()), nullptr);
		// Station 0 is heard of again: station 1 is now the oldest.
		as_touch(table_, as_lookup(table_, mac(0).data()));
		if (c.age_first)
			as_lookup(table_, mac(1).data())->last_heard -= AS_MAX_AGE_SEC;
		ASSERT_EQ(as_count(), c.fill);

		log_.clear();
		ASSERT_NE(as_update_entry(table_, newcomer.data(), kB.data()), nullptr);

		EXPECT_EQ(as_lookup(table_, mac(1).data()), nullptr);
		EXPECT_NE(as_lookup(table_, mac(0).data()), nullptr);
		EXPECT_NE(as_lookup(table_, mac(2).data()), nullptr);
		EXPECT_EQ(as_count(), c.fill);
		EXPECT_EQ(count(), static_cast<size_t>(c.fill));
		const std::string tail =
			plain("Remove STA 02:00:00:00:01:01 from active STAs\n") +
			plain("Add STA 5c:00:00:00:00:09 with bssid 02:00:00:bb:00:02\n");
		const std::string text = log_.text();
		EXPECT_EQ(text.find(c.line), strlen(LOG_COLOR_RESET)) << text;
		ASSERT_GE(text.size(), tail.size());
		EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
		EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
		as_clean_all(table_);
		EXPECT_EQ(as_count(), 0);
	}
}

TEST_F(StationTable, DumpListsEveryRecordBucketByBucketNewestFirst)
{
	as_dump(table_);
	EXPECT_EQ(log_.text(), plain("Currently active STAs:\n"));

	// Buckets 3 (two records) and 1.
	const Mac s1 = {0x11, 0x00, 0x00, 0x00, 0x00, 0x03};
	const Mac s2 = {0x22, 0x00, 0x00, 0x00, 0x00, 0x03};
	const Mac s3 = {0x33, 0x00, 0x00, 0x00, 0x00, 0x01};
	as_update_entry(table_, s1.data(), kA.data());
	as_update_entry(table_, s2.data(), kA.data());
	as_update_entry(table_, s2.data(), kB.data());
	as_update_entry(table_, s3.data(), kC.data());

	log_.clear();
	as_dump(table_);

	EXPECT_EQ(log_.text(),
		  plain("Currently active STAs:\n") +
			  plain("Active STA: 33:00:00:00:00:01, connected to: 02:00:00:cc:00:03 "
				"(old 00:00:00:00:00:00)\n") +
			  plain("Active STA: 22:00:00:00:00:03, connected to: 02:00:00:bb:00:02 "
				"(old 02:00:00:aa:00:01)\n") +
			  plain("Active STA: 11:00:00:00:00:03, connected to: 02:00:00:aa:00:01 "
				"(old 00:00:00:00:00:00)\n"));
}

} // namespace
