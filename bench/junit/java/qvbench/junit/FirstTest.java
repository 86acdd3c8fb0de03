package qvbench.junit;

import java.io.IOException;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import org.junit.jupiter.api.Test;

/**
 * The only test of the benchmark's runs: says when the run reached it, on the clock the driver
 * reads, and how much CPU time the JVM's threads have had by then.
 */
class FirstTest {
    @Test
    void first() throws IOException {
        // System.nanoTime is CLOCK_MONOTONIC on Linux: one clock for every process of the machine.
        long reached = System.nanoTime();
        System.out.println("@@ " + reached + " " + cpuNanos());
    }

    /** The run time of every live thread of this process (the first field of each schedstat), in ns. */
    private static long cpuNanos() throws IOException {
        long total = 0;
        try (DirectoryStream<Path> tasks = Files.newDirectoryStream(Path.of("/proc/self/task"))) {
            for (Path task : tasks) {
                try {
                    total += Long.parseLong(Files.readString(task.resolve("schedstat")).trim().split(" ")[0]);
                } catch (IOException ended) {
                    // A thread that ended meanwhile.
                }
            }
        }
        return total;
    }
}
