// SPDX-License-Identifier: GPL-2.0
/*
 * simgpio: a simulated GPIO chip for testing gpio-cycle on an emulated board.
 *
 * By default registers one chip with base 0 and 32 lines, so that the sysfs
 * GPIO numbers 17, 24, 25 and 27 exist. Everything the kernel asks of the chip
 * is recorded with a monotonic timestamp, and input levels are set from
 * outside:
 *
 *   /sys/kernel/debug/simgpio/input   write "<line> <0|1>" to set an input level
 *   /sys/kernel/debug/simgpio/events  one line per event: "<ns> <kind> <line> <value>"
 *
 * Event kinds: R line requested (exported), F freed, I direction set to input,
 * O direction set to output (with its initial level), S output level set,
 * P input level changed from outside.
 *
 * With named=1 the chip looks like a Raspberry Pi's instead: the kernel
 * numbers it (base -1, so sysfs numbers start well above 0), and it takes the
 * device-tree node compatible with "gpio-cycle,simgpio" as its own, whose
 * gpio-line-names name its lines (GPIO17, GPIO25, ...). gpiolib then names the
 * lines from that property, and sysfs shows the node as
 * /sys/class/gpio/gpiochipBASE/device/of_node. Lines in the files above are
 * chip offsets either way.
 */
#include <linux/debugfs.h>
#include <linux/gpio/driver.h>
#include <linux/kernel.h>
#include <linux/ktime.h>
#include <linux/module.h>
#include <linux/of.h>
#include <linux/seq_file.h>
#include <linux/spinlock.h>
#include <linux/uaccess.h>

#define SIMGPIO_LINES 32
#define SIMGPIO_EVENTS 8192
#define SIMGPIO_COMPATIBLE "gpio-cycle,simgpio"

static bool named;
module_param(named, bool, 0444);
MODULE_PARM_DESC(named, "number the chip dynamically and name its lines from the device-tree node compatible with \""
			SIMGPIO_COMPATIBLE "\" (default: base 0, no names)");

struct simgpio_event {
	u64 ns;
	char kind;
	u8 line;
	u8 value;
};

static DEFINE_SPINLOCK(simgpio_lock);
static unsigned long simgpio_is_output; /* bit set: line is an output */
static unsigned long simgpio_driven;    /* level an output drives */
static unsigned long simgpio_level;     /* level applied to an input */
static struct simgpio_event simgpio_log[SIMGPIO_EVENTS];
static unsigned int simgpio_count;
static struct dentry *simgpio_dir;
static struct device_node *simgpio_node; /* with named=1: the chip's node, held */

static void simgpio_record(char kind, unsigned int line, int value)
{
	unsigned long flags;

	spin_lock_irqsave(&simgpio_lock, flags);
	if (simgpio_count < SIMGPIO_EVENTS) {
		simgpio_log[simgpio_count].ns = ktime_get_ns();
		simgpio_log[simgpio_count].kind = kind;
		simgpio_log[simgpio_count].line = (u8)line;
		simgpio_log[simgpio_count].value = value ? 1 : 0;
		simgpio_count++;
	}
	spin_unlock_irqrestore(&simgpio_lock, flags);
}

static void simgpio_assign(unsigned long *bits, unsigned int line, int value)
{
	if (value)
		set_bit(line, bits);
	else
		clear_bit(line, bits);
}

static int simgpio_request(struct gpio_chip *chip, unsigned int line)
{
	simgpio_record('R', line, 0);
	return 0;
}

static void simgpio_free(struct gpio_chip *chip, unsigned int line)
{
	simgpio_record('F', line, 0);
}

static int simgpio_get_direction(struct gpio_chip *chip, unsigned int line)
{
	return test_bit(line, &simgpio_is_output) ? GPIO_LINE_DIRECTION_OUT : GPIO_LINE_DIRECTION_IN;
}

static int simgpio_direction_input(struct gpio_chip *chip, unsigned int line)
{
	clear_bit(line, &simgpio_is_output);
	simgpio_record('I', line, 0);
	return 0;
}

static int simgpio_direction_output(struct gpio_chip *chip, unsigned int line, int value)
{
	simgpio_assign(&simgpio_driven, line, value);
	set_bit(line, &simgpio_is_output);
	simgpio_record('O', line, value);
	return 0;
}

static int simgpio_get(struct gpio_chip *chip, unsigned int line)
{
	if (test_bit(line, &simgpio_is_output))
		return test_bit(line, &simgpio_driven);
	return test_bit(line, &simgpio_level);
}

static void simgpio_set(struct gpio_chip *chip, unsigned int line, int value)
{
	simgpio_assign(&simgpio_driven, line, value);
	simgpio_record('S', line, value);
}

static struct gpio_chip simgpio_chip = {
	.label = "simgpio",
	.owner = THIS_MODULE,
	.base = 0,
	.ngpio = SIMGPIO_LINES,
	.request = simgpio_request,
	.free = simgpio_free,
	.get_direction = simgpio_get_direction,
	.direction_input = simgpio_direction_input,
	.direction_output = simgpio_direction_output,
	.get = simgpio_get,
	.set = simgpio_set,
};

static int simgpio_events_show(struct seq_file *s, void *unused)
{
	unsigned int i, count;

	spin_lock_irq(&simgpio_lock);
	count = simgpio_count;
	spin_unlock_irq(&simgpio_lock);
	for (i = 0; i < count; i++)
		seq_printf(s, "%llu %c %u %u\n", simgpio_log[i].ns, simgpio_log[i].kind, simgpio_log[i].line,
			   simgpio_log[i].value);
	return 0;
}
DEFINE_SHOW_ATTRIBUTE(simgpio_events);

static ssize_t simgpio_input_write(struct file *file, const char __user *data, size_t size, loff_t *pos)
{
	char text[32];
	unsigned int line, value;

	if (size >= sizeof(text))
		return -EINVAL;
	if (copy_from_user(text, data, size))
		return -EFAULT;
	text[size] = '\0';
	if (sscanf(text, "%u %u", &line, &value) != 2 || line >= SIMGPIO_LINES || value > 1)
		return -EINVAL;
	simgpio_assign(&simgpio_level, line, value);
	simgpio_record('P', line, value);
	return size;
}

static const struct file_operations simgpio_input_fops = {
	.owner = THIS_MODULE,
	.write = simgpio_input_write,
};

static int __init simgpio_init(void)
{
	int ret;

	if (named) {
		/*
		 * Without a parent device, gpiolib gives the chip's own device
		 * (gpiochipN on the gpio bus) this node: sysfs links it as that
		 * device's of_node, the class device gpiochipBASE links that
		 * device as its "device", and the line names come from it.
		 */
		simgpio_node = of_find_compatible_node(NULL, NULL, SIMGPIO_COMPATIBLE);
		if (!simgpio_node) {
			pr_err("simgpio: named=1 needs a device-tree node compatible with \"%s\"\n",
			       SIMGPIO_COMPATIBLE);
			return -ENODEV;
		}
		simgpio_chip.base = -1;
		simgpio_chip.fwnode = of_fwnode_handle(simgpio_node);
	}
	ret = gpiochip_add_data(&simgpio_chip, NULL);
	if (ret) {
		of_node_put(simgpio_node);
		return ret;
	}
	simgpio_dir = debugfs_create_dir("simgpio", NULL);
	debugfs_create_file("events", 0444, simgpio_dir, NULL, &simgpio_events_fops);
	debugfs_create_file("input", 0200, simgpio_dir, NULL, &simgpio_input_fops);
	return 0;
}

static void __exit simgpio_exit(void)
{
	debugfs_remove_recursive(simgpio_dir);
	gpiochip_remove(&simgpio_chip);
	of_node_put(simgpio_node);
}

module_init(simgpio_init);
module_exit(simgpio_exit);
MODULE_DESCRIPTION("Simulated GPIO chip for testing gpio-cycle: base 0, or numbered and named like a Raspberry Pi's");
MODULE_LICENSE("GPL");
