// The report of mavek-tally, made by DuckDB: read_csv, then GROUP BY, with the
// values that no line carries filled in. For the benchmark's data only: lines
// of a value, a tab and text.
//
//   NODE_PATH=DIR/node_modules node bench/duckdb_tally.cjs FILE
const { DuckDBInstance } = require('@duckdb/node-api');

async function main(file) {
  const connection = await (await DuckDBInstance.create(':memory:')).connect();
  const result = await connection.runAndReadAll(`
    WITH counts AS (
      SELECT value, count(*) AS n
      FROM read_csv('${file.replaceAll("'", "''")}', delim = '\t', header = false, quote = '', escape = '',
                    auto_detect = false, null_padding = true, columns = {'value': 'BIGINT', 'text': 'VARCHAR'})
      GROUP BY value)
    SELECT v.value, coalesce(counts.n, 0)
    FROM range(1, (SELECT max(value) FROM counts) + 1) AS v(value) LEFT JOIN counts USING (value)
    ORDER BY v.value`);
  const lines = ['Processing mavek file...'];
  for (const [value, n] of result.getRows()) lines.push(`${value} ${n}`);
  process.stdout.write(lines.join('\n') + '\n');
}

main(process.argv[2]);
