'use strict';
// A scan's outcome on the calling thread: the report parsed, or the
// library's reason as a KtcacheError.

// Reason of a scan that returned no report and left the empty last-error text.
const NO_REPORT = 'no report could be produced';

/** The error code of a reason: "opendir failed" gives ERR_KTCACHE_OPENDIR_FAILED. */
function codeOf(reason) {
  const words = reason === NO_REPORT ? 'no report' : reason;
  return `ERR_KTCACHE_${words.toUpperCase().replace(/[^A-Z0-9]+/g, '_')}`;
}

/** A failure the library reported; `reason` is its last-error text, `code`
 *  the same as a Node error code. */
class KtcacheError extends Error {
  constructor(reason, operation, subject) {
    super(`${operation}(${JSON.stringify(subject)}): ${reason}`);
    this.name = 'KtcacheError';
    this.code = codeOf(reason);
    this.reason = reason;
    this.path = subject;
  }
}

function parseReport({ report, reason }, dir) {
  if (report === null) throw new KtcacheError(reason || NO_REPORT, 'scanCache', dir);
  return JSON.parse(report);
}

// A long report is parsed in slices of about REPORT_SLICE characters with a
// turn of the event loop after each, so that a cache of 100,000 files does
// not hold up the host's timers while its report is read. The cuts fall
// where one file's object ends and the next begins: the text },{"name":"
// never occurs inside a JSON string, whose quotes are all escaped.
const REPORT_SLICE = 64 * 1024;
const FILES_KEY = '"files":[';
const NEXT_FILE = '},{"name":"';

async function parseReportInSlices(reply, dir) {
  const { report } = reply;
  const filesAt = report === null ? -1 : report.indexOf(FILES_KEY);
  if (filesAt < 0 || report.length <= REPORT_SLICE) return parseReport(reply, dir);
  const first = filesAt + FILES_KEY.length;
  const end = report.lastIndexOf(']');
  const result = JSON.parse(report.slice(0, first) + report.slice(end));
  for (let from = first; from < end; ) {
    const next = report.indexOf(NEXT_FILE, from + REPORT_SLICE);
    const cut = next < 0 || next > end ? end : next + 1;
    for (const file of JSON.parse(`[${report.slice(from, cut)}]`)) result.files.push(file);
    from = cut + 1;
    await new Promise(setImmediate);
  }
  return result;
}

module.exports = { NO_REPORT, KtcacheError, parseReport, parseReportInSlices };
