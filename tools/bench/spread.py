"""How the benchmarks report repeated runs: the range of each sample, and a difference between
two samples only when it is larger than the spread of their runs."""

import statistics


def spread(*samples):
    """The widest max - min among the samples."""
    return max(max(s) - min(s) for s in samples)


def runs_text(sample, unit, digits):
    form = "%%.%df" % digits
    return "min %s  median %s  max %s %s" % (form % min(sample), form % statistics.median(sample),
                                               form % max(sample), unit)


def difference_text(sample, baseline, unit, digits):
    """median(sample) - median(baseline), or "within noise" when the runs of either spread
    wider than that; a difference is never reported below zero as a cost."""
    form = "%%.%df %s" % (digits, unit)
    difference = statistics.median(sample) - statistics.median(baseline)
    noise = spread(sample, baseline)
    if abs(difference) <= noise:
        return "within noise: the medians differ by %s, the runs spread over %s" % (form % difference, form % noise)
    if difference < 0:
        return "below the baseline by %s, more than the runs' spread of %s: the baseline is not comparable" % (
            form % -difference, form % noise)
    return "%s (the runs spread over %s)" % (form % difference, form % noise)
