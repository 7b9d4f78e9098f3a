#pragma once

// The catalog queries psql 15 sends for \d, \dt and \d NAME to a server that reports
// version 14, copied from psql -E; `oid` and `pattern` are what psql puts in its literals.

#include <string>

namespace psql15 {

// schema: the pattern of a qualified name's schema (\d public.notes), else none.
inline std::string lookup(const std::string& pattern, const std::string& schema = "") {
    return "SELECT c.oid,\n  n.nspname,\n  c.relname\nFROM pg_catalog.pg_class c\n"
           "     LEFT JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace\n"
           "WHERE c.relname OPERATOR(pg_catalog.~) '" +
           pattern + "' COLLATE pg_catalog.default\n" +
           (schema.empty() ? "  AND pg_catalog.pg_table_is_visible(c.oid)\n"
                           : "  AND n.nspname OPERATOR(pg_catalog.~) '" + schema +
                                 "' COLLATE pg_catalog.default\n") +
           "ORDER BY 2, 3;";
}

inline std::string details(const std::string& oid) {
    return "SELECT c.relchecks, c.relkind, c.relhasindex, c.relhasrules, c.relhastriggers, "
           "c.relrowsecurity, c.relforcerowsecurity, false AS relhasoids, c.relispartition, '', "
           "c.reltablespace, CASE WHEN c.reloftype = 0 THEN '' ELSE "
           "c.reloftype::pg_catalog.regtype::pg_catalog.text END, c.relpersistence, "
           "c.relreplident, am.amname\nFROM pg_catalog.pg_class c\n"
           " LEFT JOIN pg_catalog.pg_class tc ON (c.reltoastrelid = tc.oid)\n"
           "LEFT JOIN pg_catalog.pg_am am ON (c.relam = am.oid)\nWHERE c.oid = '" +
           oid + "';";
}

// verbose: \d+ asks for storage, compression, statistics target and description too.
inline std::string attributes(const std::string& oid, bool verbose = false) {
    return std::string("SELECT a.attname,\n  pg_catalog.format_type(a.atttypid, a.atttypmod),\n"
                       "  (SELECT pg_catalog.pg_get_expr(d.adbin, d.adrelid, true)\n"
                       "   FROM pg_catalog.pg_attrdef d\n"
                       "   WHERE d.adrelid = a.attrelid AND d.adnum = a.attnum AND "
                       "a.atthasdef),\n  a.attnotnull,\n"
                       "  (SELECT c.collname FROM pg_catalog.pg_collation c, pg_catalog.pg_type t\n"
                       "   WHERE c.oid = a.attcollation AND t.oid = a.atttypid AND "
                       "a.attcollation <> t.typcollation) AS attcollation,\n"
                       "  a.attidentity,\n  a.attgenerated") +
           (verbose ? ",\n  a.attstorage,\n  a.attcompression AS attcompression,\n"
                      "  CASE WHEN a.attstattarget=-1 THEN NULL ELSE a.attstattarget END AS "
                      "attstattarget,\n  pg_catalog.col_description(a.attrelid, a.attnum)"
                    : "") +
           "\nFROM pg_catalog.pg_attribute a\nWHERE a.attrelid = '" + oid +
           "' AND a.attnum > 0 AND NOT a.attisdropped\nORDER BY a.attnum;";
}

inline std::string indexes(const std::string& oid) {
    return "SELECT c2.relname, i.indisprimary, i.indisunique, i.indisclustered, i.indisvalid, "
           "pg_catalog.pg_get_indexdef(i.indexrelid, 0, true),\n"
           "  pg_catalog.pg_get_constraintdef(con.oid, true), contype, condeferrable, "
           "condeferred, i.indisreplident, c2.reltablespace\n"
           "FROM pg_catalog.pg_class c, pg_catalog.pg_class c2, pg_catalog.pg_index i\n"
           "  LEFT JOIN pg_catalog.pg_constraint con ON (conrelid = i.indrelid AND conindid = "
           "i.indexrelid AND contype IN ('p','u','x'))\nWHERE c.oid = '" +
           oid +
           "' AND c.oid = i.indrelid AND i.indexrelid = c2.oid\n"
           "ORDER BY i.indisprimary DESC, c2.relname;";
}

inline std::string policies(const std::string& oid) {
    return "SELECT pol.polname, pol.polpermissive,\n  CASE WHEN pol.polroles = '{0}' THEN NULL "
           "ELSE pg_catalog.array_to_string(array(select rolname from pg_catalog.pg_roles where "
           "oid = any (pol.polroles) order by 1),',') END,\n"
           "  pg_catalog.pg_get_expr(pol.polqual, pol.polrelid),\n"
           "  pg_catalog.pg_get_expr(pol.polwithcheck, pol.polrelid),\n"
           "  CASE pol.polcmd\n    WHEN 'r' THEN 'SELECT'\n    WHEN 'a' THEN 'INSERT'\n"
           "    WHEN 'w' THEN 'UPDATE'\n    WHEN 'd' THEN 'DELETE'\n    END AS cmd\n"
           "FROM pg_catalog.pg_policy pol\nWHERE pol.polrelid = '" +
           oid + "' ORDER BY 1;";
}

inline std::string statistics(const std::string& oid) {
    return "SELECT oid, stxrelid::pg_catalog.regclass, "
           "stxnamespace::pg_catalog.regnamespace::pg_catalog.text AS nsp, stxname,\n"
           "pg_catalog.pg_get_statisticsobjdef_columns(oid) AS columns,\n"
           "  'd' = any(stxkind) AS ndist_enabled,\n  'f' = any(stxkind) AS deps_enabled,\n"
           "  'm' = any(stxkind) AS mcv_enabled,\nstxstattarget\n"
           "FROM pg_catalog.pg_statistic_ext\nWHERE stxrelid = '" +
           oid + "'\nORDER BY nsp, stxname;";
}

inline std::string publications(const std::string& oid) {
    return "SELECT pubname\n     , NULL\n     , NULL\nFROM pg_catalog.pg_publication p\n"
           "JOIN pg_catalog.pg_publication_rel pr ON p.oid = pr.prpubid\nWHERE pr.prrelid = '" +
           oid +
           "'\nUNION ALL\nSELECT pubname\n     , NULL\n     , NULL\n"
           "FROM pg_catalog.pg_publication p\nWHERE p.puballtables AND "
           "pg_catalog.pg_relation_is_publishable('" +
           oid + "')\nORDER BY 1;";
}

inline std::string parents(const std::string& oid) {
    return "SELECT c.oid::pg_catalog.regclass\n"
           "FROM pg_catalog.pg_class c, pg_catalog.pg_inherits i\n"
           "WHERE c.oid = i.inhparent AND i.inhrelid = '" +
           oid + "'\n  AND c.relkind != 'p' AND c.relkind != 'I'\nORDER BY inhseqno;";
}

inline std::string children(const std::string& oid) {
    return "SELECT c.oid::pg_catalog.regclass, c.relkind, inhdetachpending, "
           "pg_catalog.pg_get_expr(c.relpartbound, c.oid)\n"
           "FROM pg_catalog.pg_class c, pg_catalog.pg_inherits i\n"
           "WHERE c.oid = i.inhrelid AND i.inhparent = '" +
           oid +
           "'\nORDER BY pg_catalog.pg_get_expr(c.relpartbound, c.oid) = 'DEFAULT', "
           "c.oid::pg_catalog.regclass::pg_catalog.text;";
}

// \d and \dt list relations of the kinds in `kinds` ("'r','p','v','m','S','f',''" for \d,
// "'r','p',''" for \dt, "'v',''" for \dv); a pattern adds a name filter.
inline std::string listing(const std::string& kinds, const std::string& pattern = "") {
    return "SELECT n.nspname as \"Schema\",\n  c.relname as \"Name\",\n"
           "  CASE c.relkind WHEN 'r' THEN 'table' WHEN 'v' THEN 'view' WHEN 'm' THEN "
           "'materialized view' WHEN 'i' THEN 'index' WHEN 'S' THEN 'sequence' WHEN 't' THEN "
           "'TOAST table' WHEN 'f' THEN 'foreign table' WHEN 'p' THEN 'partitioned table' WHEN "
           "'I' THEN 'partitioned index' END as \"Type\",\n"
           "  pg_catalog.pg_get_userbyid(c.relowner) as \"Owner\"\n"
           "FROM pg_catalog.pg_class c\n"
           "     LEFT JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace\n"
           "     LEFT JOIN pg_catalog.pg_am am ON am.oid = c.relam\nWHERE c.relkind IN (" +
           kinds +
           ")\n      AND n.nspname <> 'pg_catalog'\n      AND n.nspname !~ '^pg_toast'\n"
           "      AND n.nspname <> 'information_schema'\n" +
           (pattern.empty() ? ""
                            : "  AND c.relname OPERATOR(pg_catalog.~) '" + pattern +
                                  "' COLLATE pg_catalog.default\n") +
           "  AND pg_catalog.pg_table_is_visible(c.oid)\nORDER BY 1,2;";
}

} // namespace psql15
