// Helper of bench/peers.sh: DuckDB, an in-process analytical database, doing
// what karvello-cli does, in SQL, on all cores (DuckDB's default threads).
//
//   node duckdb-peer.cjs dedupe FILE OUT           the first copy of each line
//   node duckdb-peer.cjs subtract OTHER FILE OUT   FILE's lines not in OTHER
//
// Lines end with LF on input and output; both keep FILE's order. The
// package @duckdb/node-api is looked up in the folder DUCKDB_MODULES (a
// node_modules folder) first.
'use strict';

const {DuckDBInstance} = require(require.resolve(
    '@duckdb/node-api', {paths: [process.env.DUCKDB_MODULES || '.']}));

// A string literal of SQL.
const quote = (text) => `'${text.replaceAll('\'', '\'\'')}'`;

// Each line of a file as one text, with its line number: no header, no
// quoting, a delimiter no line holds (U+0001).
const lines = (path) => `(SELECT line, row_number() OVER () AS n
    FROM read_csv(${quote(path)}, columns = {'line': 'VARCHAR'},
                  header = false, delim = E'\\x01', quote = '', escape = '',
                  auto_detect = false))`;

// Writes the rows of `query` (one column) to `out`, one line each.
const copy = (query, out) => `COPY (${query}) TO ${quote(out)}
    (FORMAT csv, HEADER false, QUOTE '', DELIMITER E'\\x01')`;

const queries = {
  // Groups equal lines and keeps each group's first line number, then puts
  // the groups in that order.
  dedupe: (file, out) => copy(`SELECT line FROM (
      SELECT line, min(n) AS first FROM ${lines(file)} GROUP BY line)
    ORDER BY first`, out),
  // Keeps the lines of FILE that no line of OTHER equals, duplicates
  // included, in FILE's order.
  subtract: (other, file, out) => copy(`SELECT f.line FROM ${lines(file)} AS f
    ANTI JOIN ${lines(other)} AS o ON f.line = o.line ORDER BY f.n`, out),
};

async function main() {
  const [operation, ...paths] = process.argv.slice(2);
  const query = queries[operation];
  if (!query || paths.length !== query.length) {
    console.error('usage: duckdb-peer.cjs dedupe FILE OUT | ' +
                  'subtract OTHER FILE OUT');
    process.exit(2);
  }
  const instance = await DuckDBInstance.create(':memory:');
  const connection = await instance.connect();
  await connection.run(query(...paths));
}

main().catch((error) => {
  console.error(`duckdb-peer.cjs: ${error.message}`);
  process.exit(1);
});
